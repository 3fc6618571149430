"""What a call gave, in a form the same call on another implementation can
be compared with: the result pictured value for value and type for type, or
the exception's type, text and arguments. Every comparison of a native
module with its peer goes through outcome() or canon()."""
import re
import struct

_PLAIN = (int, bool, str, bytes, type(None))

# A subclass of one of these is pictured by its base value, taken through
# the base type's own slot: none of the subclass's dunders runs.
_BASE_VALUE = [
    (int, int.__int__), (float, float.__float__), (str, str.__str__),
    (bytes, lambda v: bytes.__getitem__(v, slice(None))),
    (list, lambda v: list.__getitem__(v, slice(None))),
    (tuple, lambda v: tuple.__getitem__(v, slice(None))),
]

_ADDRESS = re.compile(r' at 0x[0-9a-fA-F]+')


def _text(v):
    """repr() without object addresses."""
    try:
        return _ADDRESS.sub(' at 0x?', repr(v))
    except Exception as e:  # a hostile __repr__ is part of the value
        return '<repr raised %s>' % type(e).__name__


class _Value(object):
    """A value of any other type. Equal to another when `==` says so and the
    reprs agree; values unequal to themselves (NaN, NaT) and values whose
    `==` fails or gives no truth value are judged by repr alone."""
    __slots__ = ('value', 'text')
    __hash__ = None

    def __init__(self, value):
        self.value, self.text = value, _text(value)

    def __eq__(self, other):
        if type(other) is not _Value or self.text != other.text:
            return False
        a, b = self.value, other.value
        try:
            return bool(a == b) or not (a == a or b == b)
        except Exception:  # == is unusable: the reprs decided
            return True

    def __ne__(self, other):
        return not self == other

    def __repr__(self):
        return self.text


def canon(v, seen=None):
    """A comparable picture of a value: type (by name: the native and the
    peer classes share theirs) and value. Floats bit for bit (any NaN as
    NaN), containers item for item, subclasses of builtins by their base
    value, classes by name, objects that compare by identity by their
    state, any other value by `==` and repr."""
    t = type(v)
    if t is float:
        # Which NaN survives an operation on two NaNs is not fixed even in
        # CPython (3.11's specialised float instructions and float_mul may
        # keep different operands).
        return ('float', 'nan' if v != v else struct.pack('<d', v))
    if t in _PLAIN:
        return (t.__name__, v)
    if seen is None:
        seen = set()
    if id(v) in seen:
        return (t.__name__, 'cycle')
    seen.add(id(v))
    try:
        if t in (list, tuple):
            return (t.__name__, [canon(x, seen) for x in v])
        if isinstance(v, dict):
            # The stored items, whatever the class says its items are.
            return (t.__name__, [(canon(k, seen), canon(x, seen))
                                 for k, x in list(dict.items(v))])
        for base, value_of in _BASE_VALUE:
            if isinstance(v, base):
                return (t.__name__, canon(value_of(v), seen))
        if isinstance(v, type):
            return ('class', v.__qualname__)
        if t.__eq__ is object.__eq__:
            # Two objects of the same make are alike when their state is.
            try:
                state = object.__getattribute__(v, '__dict__')
            except AttributeError:
                state = None
            args = BaseException.args.__get__(v) if isinstance(v, BaseException) else None
            return (t.__name__, canon(args, seen), canon(state, seen))
        return (t.__name__, _Value(v))
    finally:
        seen.discard(id(v))


def message(e):
    try:
        return str(e)
    except Exception:
        return '<unprintable>'


_UNPACKING = [
    (re.compile(r'need more than (\d+) values? to unpack'), 'too few'),
    (re.compile(r'not enough values to unpack \(expected \d+, got (\d+)\)'), 'too few'),
    (re.compile(r'too many values to unpack \(expected (\d+)\)'), 'too many'),
    (re.compile(r"cannot unpack non-iterable (.+) object"), 'not iterable'),
    (re.compile(r"'(.+)' object is not iterable"), 'not iterable'),
]


def failure(e):
    """An exception as (type, what it says): its text and its arguments. The
    runtime's unpacking messages (the framework's wording) and the
    interpreter's read as one; a recursion error is its type alone (where
    the limit strikes decides its wording)."""
    if isinstance(e, RecursionError):
        return (type(e),)
    text = message(e)
    for pattern, what in _UNPACKING:
        m = pattern.search(text)
        if m:
            return (type(e), ('unpack', what, m.group(1)))
    return (type(e), text, canon(BaseException.args.__get__(e)))


def outcome(call):
    """What a call gave: ('ok', canon(result)) or ('raised',) + failure(exception).
    The one comparison of the differential tests."""
    try:
        r = call()
    except BaseException as e:  # every exception is a result to compare
        if isinstance(e, (SystemExit, GeneratorExit)):
            raise
        return ('raised',) + failure(e)
    return ('ok', canon(r))


def run_both(scenario, implementations, *args):
    """scenario(impl, *args) gives equal lists of outcomes on the native
    implementation and on the peer; returns the native one's."""
    got, want = [scenario(impl, *args) for impl in implementations]
    if got != want:
        diff = [(i, x, y) for i, (x, y) in enumerate(zip(got, want)) if x != y]
        raise AssertionError('native and peer differ at %r of %d and %d (args %r)'
                             % (diff[:3], len(got), len(want), args))
    return got


def raised(call):
    """failure() of the exception `call` must raise."""
    r = outcome(call)
    assert r[0] == 'raised', 'no exception: %r' % (r,)
    return r[1:]
