"""Rows for the dot-access dictionaries."""
from bench.harness import Row

NATIVE = 'belvane.tframe.utils.sorvel'
PEER = 'sorvel_dicts'


def _read(mod):
    return 'd.alpha', {'d': mod.DotDict({'alpha': 1, 'beta': 2})}


def _write(mod):
    return 'd.alpha = 2', {'d': mod.DotDict({'alpha': 1})}


PAIRS = [('key%02d' % i, i) for i in range(30)]


def _construct(mod):
    cls = mod.OrderedDotDict
    return lambda: cls(PAIRS)


def _floor_read():
    return "d['alpha']", {'d': {'alpha': 1}}


def _floor_write():
    return "d['alpha'] = 2", {'d': {'alpha': 1}}


ROWS = [
    Row('DotDict attribute read', _read, floor=_floor_read, target=2.0),
    Row('DotDict attribute write', _write, floor=_floor_write, target=2.0),
    Row('OrderedDotDict(30 pairs)', _construct),
]
