# -*- coding: utf-8 -*-
"""No growth of allocated memory blocks over many calls of every public
operation of the three modules, on the success and on the error paths."""
import pytest

import call_tables as t
from leakcheck import assert_no_leak

ERRORS = (Exception,)


def leak_free(ops, calls=120):
    """The named operations, repeated, leave no blocks behind. A leak leaves
    at least a block per call in every round; the slack only absorbs caches
    of the interpreter (file and import machinery) that settle slowly. All
    operations run in one measured loop (each collection costs), and only a
    failing loop is measured again operation by operation, to name it."""
    def all_ops():
        for _, op in ops:
            try:
                op()
            except ERRORS:
                pass
    try:
        assert_no_leak(all_ops, calls=calls, rounds=3, slack=calls // 4)
    except AssertionError:
        for name, op in ops:
            try:
                assert_no_leak(op, raises=ERRORS, calls=calls, rounds=3, slack=calls // 4)
            except AssertionError as e:
                raise AssertionError('%s: %s' % (name, e))
        raise


def test_dictionaries():
    leak_free(t.dict_calls() + t.registered_name_calls(), calls=300)


def test_simple_timer(monkeypatch):
    leak_free(t.timer_calls(monkeypatch))


def test_status_collect(monkeypatch):
    leak_free(t.status_calls(monkeypatch))


def test_range_record():
    leak_free(t.range_calls())


def test_output_file_manager_and_loader(tmp_path, monkeypatch):
    leak_free(t.files_calls(monkeypatch, tmp_path), calls=80)
    # The import inside load() fills the import system's caches for a while.
    leak_free(t.loader_calls(monkeypatch, tmp_path), calls=200)


def test_socket_base_with_doubles(monkeypatch):
    leak_free(t.socket_calls(monkeypatch))
    leak_free(t.connect_calls(monkeypatch))


def test_positions(monkeypatch):
    leak_free(t.positions_calls(monkeypatch))


def test_accounts(monkeypatch):
    leak_free(t.accounts_calls(monkeypatch))


def test_leak_check_catches_a_leak():
    kept = []
    with pytest.raises(AssertionError):
        assert_no_leak(lambda: kept.append(object()), calls=500)
