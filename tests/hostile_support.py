"""Hostile values shared by the hostile-input tests: numbers, texts and
containers whose dunders raise or answer with the wrong type."""
import os


class Boom(Exception):
    pass


# Stands for an attribute to delete where a value to set is expected.
DELETED = object()


def put(obj, attr, value):
    if value is DELETED:
        delattr(obj, attr)
    else:
        setattr(obj, attr, value)


class BadBool(object):
    """A truth value that cannot be taken."""

    def __bool__(self):
        raise Boom('bool')


# What each dunder returns in the 'wrong' mode: an object of a type the
# interpreter refuses there, or one that fails later.
_WRONG = {
    '__eq__': BadBool, '__ne__': BadBool, '__lt__': BadBool, '__le__': BadBool,
    '__gt__': BadBool, '__ge__': BadBool,
    '__add__': lambda: 'text', '__radd__': lambda: 'text', '__iadd__': lambda: 'text',
    '__sub__': lambda: 'text', '__rsub__': lambda: 'text',
    '__mul__': lambda: [1], '__rmul__': lambda: [1],
    '__truediv__': lambda: None, '__rtruediv__': lambda: None,
    '__floordiv__': lambda: None, '__rfloordiv__': lambda: None,
    '__index__': lambda: 1.5, '__int__': lambda: 'x', '__float__': lambda: 'x',
    '__hash__': lambda: 'x', '__str__': lambda: 5, '__repr__': lambda: 5,
    '__format__': lambda: 5, '__len__': lambda: -1, '__bool__': lambda: 2,
    '__iter__': lambda: 5, '__getitem__': lambda: BadBool(),
}
DUNDERS = sorted(_WRONG)
MODES = ['raise', 'wrong']

_classes = {}


def hostile_class(dunder, mode, base=int):
    """A subclass of `base` whose `dunder` raises Boom ('raise') or returns
    an object of the wrong type ('wrong'); everything else is the base's."""
    key = (dunder, mode, base)
    if key not in _classes:
        if mode == 'raise':
            def method(self, *args):
                raise Boom(dunder)
        else:
            make = _WRONG[dunder]

            def method(self, *args):
                return make()
        ns = {dunder: method}
        if dunder in ('__eq__', '__ne__'):
            ns['__hash__'] = base.__hash__
        if dunder == '__format__' and mode == 'wrong':
            ns[dunder] = lambda self, fmt: 5
        name = 'Hostile%s%s' % (dunder.strip('_').capitalize(), mode.capitalize())
        _classes[key] = type(name, (base,), ns)
    return _classes[key]


def hostile(dunder, mode, value=3, base=int):
    cls = hostile_class(dunder, mode, base)
    return cls() if base is object else cls(value)


# The sanitizer run is several times slower: there every dunder misbehaves
# in one of the two ways, alternately, instead of both.
SANITIZED = os.environ.get('PYTHONMALLOC') == 'malloc'


def hostile_params(base=int, value=3, dunders=None):
    """(id, value) pairs: every dunder in both modes (one under sanitizers)."""
    out = []
    for i, d in enumerate(dunders or DUNDERS):
        for m in MODES[i % 2:i % 2 + 1] if SANITIZED else MODES:
            out.append(('%s-%s' % (d.strip('_'), m), hostile(d, m, value, base)))
    return out


def odd_values(base=int, value=3):
    """(id, value) pairs: hostile values of one base, and the plain odd ones."""
    return hostile_params(base, value) + [
        ('none', None), ('huge', 2 ** 100), ('neg-huge', -2 ** 100), ('nan', float('nan')),
        ('inf', float('inf')), ('-inf', float('-inf')), ('object', object()), ('list', [1, 2]),
        ('true', True), ('text', 'x'), ('bytes', b'x'), ('badbool', BadBool())]


INT_VALUES = odd_values()
STR_VALUES = odd_values(str, 'sec')
