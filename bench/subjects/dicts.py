"""Rows for the dot-access dictionaries."""
from bench.harness import Row

NATIVE = 'belvane.tframe.utils.sorvel'
PEER = 'sorvel_dicts'


def _read(mod):
    d = mod.DotDict({'alpha': 1, 'beta': 2})
    return lambda: d.alpha


def _write(mod):
    d = mod.DotDict({'alpha': 1})

    def write():
        d.alpha = 2
    return write


PAIRS = [('key%02d' % i, i) for i in range(30)]


def _construct(mod):
    cls = mod.OrderedDotDict
    return lambda: cls(PAIRS)


def _floor_read():
    d = {'alpha': 1}
    return lambda: d['alpha']


ROWS = [
    Row('DotDict attribute read', _read, floor=_floor_read, target=2.0),
    Row('DotDict attribute write', _write, target=2.0),
    Row('OrderedDotDict(30 pairs)', _construct),
]
