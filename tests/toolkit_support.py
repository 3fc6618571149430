"""Shared pieces of the toolkit tests: the toolkit on the native module and
on its peers, and stand-ins for the clock and for `time`."""
import datetime

import pytest

from belvane.tframe.utils import sorvel
from peers import sorvel_dicts, sorvel_io, sorvel_stats


@pytest.fixture(params=['native', 'peer'])
def impl(request):
    return sorvel if request.param == 'native' else sorvel_io


class FakeClock(object):
    """Stands in for the datetime module: datetime.datetime.now() is `t`,
    moved on by `step` at each call."""

    def __init__(self, t=datetime.datetime(2024, 5, 1, 9, 30), step=None):
        self.t, self.step, self.calls = t, step, 0

    @property
    def datetime(self):
        return self

    def now(self):
        self.calls += 1
        if self.step:
            self.t += self.step
        return self.t

    def advance(self, **kw):
        self.t += datetime.timedelta(**kw)


class FakeTime(object):
    """Stands in for the time module: records the pauses instead of taking
    them (or only skips them, record=False: a growing record would read as
    a leak)."""

    def __init__(self, record=True):
        self.sleeps = [] if record else None
        self.on_sleep = None

    def sleep(self, seconds):
        if self.sleeps is not None:
            self.sleeps.append(seconds)
        if self.on_sleep:
            self.on_sleep(seconds)


class Toolkit(object):
    """The whole toolkit of one side: the native module, or its three peer
    modules seen as one (`io` is the module whose `time` and `socket` the
    socket class reads)."""

    def __init__(self, native):
        self.native = native
        if native:
            self.dicts = self.stats = self.io = sorvel
        else:
            self.dicts, self.stats, self.io = sorvel_dicts, sorvel_stats, sorvel_io

    def __getattr__(self, name):
        for m in (self.dicts, self.stats, self.io):
            if hasattr(m, name):
                return getattr(m, name)
        raise AttributeError(name)


# For outcomes.run_both: the native toolkit first, its peer second.
TOOLKITS = (Toolkit(True), Toolkit(False))


@pytest.fixture
def clocks(monkeypatch):
    """A clock moving on by 1.5 s at each reading, for the native module and
    for the peer alike."""
    for module in (sorvel, sorvel_stats):
        monkeypatch.setattr(module, 'datetime', FakeClock(datetime.datetime(2024, 5, 1, 9, 30, 0, 250000),
                                                          step=datetime.timedelta(seconds=1.5)))
