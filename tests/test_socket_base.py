"""SocketBase against a real TCP server on 127.0.0.1 and against socket
doubles, for the native class and its plain-Python peer alike."""
import gc
import os
import socket
import sys

import pytest

from belvane.tframe import sysclsbase
from belvane.tframe.utils import sorvel
from belvane.tframe.utils.exceptions import VersionError
from hostile_support import DELETED, INT_VALUES, BadBool, Boom, hostile, put
from outcomes import canon, failure, outcome, raised, run_both
from peers import sorvel_io
from socket_support import LocalServer, SocketDouble, SocketModule, attached, closed_port, recording
from toolkit_support import FakeTime, impl  # noqa: F401 (fixture)


@pytest.fixture
def fake_time(impl, monkeypatch):
    fake = FakeTime()
    monkeypatch.setattr(impl, 'time', fake)
    return fake


def echo(conn):
    while True:
        chunk = conn.recv(65536)
        if not chunk:
            return
        conn.sendall(chunk)


def wait_for_close(conn):
    while conn.recv(65536):
        pass


# ---- construction ----------------------------------------------------------

@pytest.mark.parametrize('timeout, expected', [(None, 300), (0, 300), (0.0, 300), (2.5, 2.5)])
def test_constructor(impl, timeout, expected):
    obj = impl.SocketBase('h', 1, timeout)
    assert list(vars(obj)) == ['server_address', 'status', 'data', 'timeout', 'buffer_size',
                               'receive_buffer', '_error', 'client']
    assert obj.server_address == ('h', 1) and obj.status == 0 and obj.data is None
    assert obj.timeout == expected and obj.get_timeout() == expected
    assert obj.buffer_size == 10485760 and obj.client is None and obj.error is None
    assert type(obj.receive_buffer) is memoryview and len(obj.receive_buffer) == 10485760
    assert not obj.receive_buffer.readonly and obj.receive_buffer[-1] == 0
    assert obj.connected is False


def test_class_values_are_read_through_the_instance(impl):
    class Small(impl.SocketBase):
        socket_default_timeout = 7
        socket_default_buffer = 16
        socket_status_close = 'closed'
    obj = Small('h', 1)
    assert (obj.timeout, obj.buffer_size, len(obj.receive_buffer), obj.status) == (7, 16, 16, 'closed')


# ---- connect and disconnect --------------------------------------------------

def test_connect_to_a_real_server(impl, fake_time):
    with LocalServer(wait_for_close) as server:
        obj = recording(impl.SocketBase)('127.0.0.1', server.port, timeout=2)
        assert obj.connect() is True
        first = obj.client
        assert obj.events == ['connected'] and obj.status == 1
        assert first.gettimeout() == 2 and first.getpeername()[1] == server.port
        assert obj.connect() is True and obj.client is first and obj.events == ['connected']
        assert obj.disconnect() is True
        assert obj.events == ['connected', 'disconnected'] and first.fileno() == -1
    assert fake_time.sleeps == []


@pytest.mark.parametrize('retry, sleeps', [(3, [0.5] * 3), (1, [0.5]), (0, []), (-1, [])])
def test_connect_to_a_closed_port(impl, fake_time, retry, sleeps):
    obj = recording(impl.SocketBase)('127.0.0.1', closed_port())
    assert obj.connect(retry=retry) is False
    assert fake_time.sleeps == sleeps and obj.events == []
    assert isinstance(obj.client, socket.socket) and obj.client.fileno() >= 0
    if retry > 0:
        assert isinstance(obj.error, ConnectionRefusedError)
    assert obj.error is None
    obj.client.close()


@pytest.mark.parametrize('timeout', [None, 0.5])
def test_connect_succeeds_on_the_second_attempt(impl, fake_time, timeout):
    # The port refuses until the first pause, then listens. A socket whose
    # connect failed would refuse a second connect: the retry needs a new one.
    listener = socket.socket()
    listener.bind(('127.0.0.1', 0))
    failed = []

    def start_listening(seconds):
        failed.append(obj.client)
        listener.listen(1)
    fake_time.on_sleep = start_listening
    try:
        obj = recording(impl.SocketBase)('127.0.0.1', listener.getsockname()[1], timeout)
        assert obj.connect() is True
        assert fake_time.sleeps == [0.5] and obj.events == ['connected']
        assert isinstance(obj.error, ConnectionRefusedError)
        assert obj.client is not failed[0] and failed[0].fileno() == -1
        assert obj.client.gettimeout() == obj.timeout
        obj.disconnect()
    finally:
        listener.close()


def test_a_failing_connected_hook_keeps_the_socket(impl, fake_time):
    # Only a failed socket connect gets a fresh socket; after a hook failure
    # the next attempt connects the same socket again (a socket with a
    # time-out takes EISCONN as success).
    class Client(recording(impl.SocketBase)):
        def callback_connected(self):
            self.events.append(self.client)
            raise ConnectionAbortedError('login refused')
    with LocalServer(wait_for_close) as server:
        obj = Client('127.0.0.1', server.port, timeout=2)
        assert obj.connect() is True
        assert obj.events == [obj.client] * 2 and fake_time.sleeps == [0.5, 0.5]
        assert str(obj.error) == 'login refused'
        obj.disconnect()


def test_base_hooks_raise(impl):
    with LocalServer(wait_for_close) as server:
        obj = impl.SocketBase('127.0.0.1', server.port, timeout=2)
        with pytest.raises(NotImplementedError):
            obj.connect()
        assert obj.connected is True
        with pytest.raises(NotImplementedError) as info:
            obj.disconnect()
        assert info.value.args == () and obj.connected is False


def test_disconnect(impl):
    double = SocketDouble()
    obj = attached(recording(impl.SocketBase), double)
    assert obj.disconnect() is True
    assert double.calls == [('close', 0)] and obj.events == ['disconnected']
    # Not connected: nothing is closed, the hook still runs.
    assert obj.disconnect() is True
    assert double.calls == [('close', 0)] and obj.events == ['disconnected'] * 2


def test_disconnect_with_a_failing_close(impl):
    failure = ConnectionResetError(104, 'reset')
    obj = attached(recording(impl.SocketBase), SocketDouble(close_error=failure))
    with pytest.raises(ConnectionResetError) as info:
        obj.disconnect()
    assert info.value is failure
    assert obj.events == [('network_error', failure, failure), 'disconnected']
    assert obj.error is failure and obj.status == 0


def test_a_failing_disconnect_hook_replaces_the_pending_error(impl):
    failure = OSError('close failed')

    class Client(recording(impl.SocketBase)):
        def callback_disconnected(self):
            self.events.append(('disconnected', sys.exc_info()[1]))
            raise KeyError('hook')
    obj = attached(Client, SocketDouble(close_error=failure))
    with pytest.raises(KeyError) as info:
        obj.disconnect()
    assert info.value.__context__ is failure
    assert obj.events[-1] == ('disconnected', failure)


def test_reconnect(impl, fake_time):
    with LocalServer(wait_for_close) as server:
        obj = recording(impl.SocketBase)('127.0.0.1', server.port, timeout=2)
        obj.connect()
        first = obj.client
        assert obj.reconnect() is None
        assert obj.connected and obj.client is not first and first.fileno() == -1
        assert obj.events == ['connected', 'disconnected', 'connected']
        obj.disconnect()


def test_no_descriptor_left_after_many_cycles(impl, fake_time):
    def open_fds():
        gc.collect()
        return len(os.listdir('/proc/self/fd'))

    def answer(conn):
        # Echoes, or closes mid-message, or stays silent, as the first byte asks.
        first = conn.recv(64)
        if first.startswith(b'e'):
            conn.sendall(first)
        elif first.startswith(b'h'):
            conn.sendall(b'ha')
        elif first.startswith(b's'):
            conn.recv(64)  # until the client goes
    port = closed_port()
    before = open_fds()
    with LocalServer(answer, lifetime=5.0) as server:
        c = recording(impl.SocketBase)('127.0.0.1', server.port, timeout=2)
        for i in range(12):
            assert c.connect()
            c.send_data(b'echo %d' % i)
            assert c.receive_data(len(b'echo %d' % i), try_times=50).startswith(b'echo')
            assert c.disconnect()
            # The peer closes after two of the four bytes asked for.
            c.send_data(b'half')
            assert c.receive_data(4, try_times=5) == b'ha'
            c.reconnect()
            c.set_timeout(0.01)
            c.send_data(b'silent')
            assert c.receive_data() is None and isinstance(c.events[-1][1], socket.timeout)
            c.set_timeout(2)
            c.disconnect()
            # Dropped without a disconnect: the socket goes with the object.
            d = recording(impl.SocketBase)('127.0.0.1', server.port, timeout=2)
            d.connect()
            del d
        refused = recording(impl.SocketBase)('127.0.0.1', port, timeout=1)
        for _ in range(15):
            assert refused.connect(retry=2) is False
            refused.send_data(b'x', ignore_error=True)
        refused.client.close()
        c.client.close()
    assert open_fds() == before


@pytest.mark.parametrize('error, swallowed', [(OSError('bad'), True),
                                              (socket.timeout('slow'), True),
                                              (ValueError('odd'), False)])
def test_set_timeout(impl, error, swallowed):
    obj = attached(recording(impl.SocketBase), SocketDouble(settimeout_error=error), timeout=5)
    if swallowed:
        assert obj.set_timeout(1) is None
    else:
        pytest.raises(ValueError, obj.set_timeout, 1)
    assert obj.timeout == 5
    obj.client.settimeout_error = None
    obj.set_timeout(1.5)
    assert obj.get_timeout() == 1.5 and obj.client.calls[-1] == ('settimeout', 1.5)
    pytest.raises(AttributeError, impl.SocketBase('h', 1).set_timeout, 1)


# ---- sending and receiving -------------------------------------------------------

@pytest.mark.parametrize('size', [1, 1024, 300000])
def test_round_trip(impl, fake_time, size):
    payload = bytes(range(256)) * (size // 256) + b'x' * (size % 256)
    with LocalServer(echo) as server:
        obj = recording(impl.SocketBase)('127.0.0.1', server.port, timeout=2)
        assert obj.send_data(payload) is None
        got = obj.receive_data(size)
        assert got == payload and type(got) is bytes and obj.data is got
        assert obj.receive_buffer[:size] == payload
        obj.send_data(payload)
        chunks = []
        while sum(map(len, chunks)) < size:
            chunks.append(obj.receive_data())
            assert type(chunks[-1]) is bytes and chunks[-1]
        assert b''.join(chunks) == payload
        obj.disconnect()
    assert obj.events == ['connected', 'disconnected']


def test_peer_closing_mid_message(impl, fake_time):
    def short_answer(conn):
        conn.sendall(b'abcd')
    with LocalServer(short_answer) as server:
        obj = recording(impl.SocketBase)('127.0.0.1', server.port, timeout=2)
        obj.connect()
        # Returns at the first empty read instead of polling on.
        assert obj.receive_data(10, try_times=1000) == b'abcd'
        assert 1 <= len(fake_time.sleeps) <= 4
        assert obj.events == ['connected'] and obj.connected
        obj.disconnect()


@pytest.mark.parametrize('reads, try_times, result, recvs, pauses', [
    # An empty read while bytes are missing ends the polling at once.
    ([b'ab', b'cd', b'', b'zz'], 10000000, b'abcd', [10, 8, 6], 2),
    ([b'ab', b'cd', b'ef'], 2, b'abcd', [10, 8], 2),
    ([b'0123456789'], 10, b'0123456789', [10], 0),
    ([], 0, b'', [], 0),
])
def test_fixed_length_reads(impl, fake_time, reads, try_times, result, recvs, pauses):
    double = SocketDouble(reads)
    obj = attached(recording(impl.SocketBase), double)
    assert obj.receive_data(10, try_times=try_times) == result
    assert double.calls == [('recv', n) for n in recvs]
    assert fake_time.sleeps == [0.005] * pauses
    assert obj.receive_buffer[:len(result)] == result


@pytest.mark.parametrize('count, calls, result', [
    (0, [('recv', 0)], b''),
    (-5, [], b''),
    (True, [('recv', 1)], b'x'),
])
def test_fixed_length_edges(impl, fake_time, count, calls, result):
    double = SocketDouble([b'x'] if count is True else [])
    obj = attached(recording(impl.SocketBase), double)
    assert obj.receive_data(count) == result
    assert double.calls == calls and fake_time.sleeps == []


def test_non_int_counts_take_a_single_read(impl):
    np = pytest.importorskip('numpy')
    for count in (None, 10.0, np.int64(3)):
        double = SocketDouble([b'hello'])
        obj = attached(recording(impl.SocketBase), double)
        assert obj.receive_data(received_bytes=count) == b'hello'
        assert double.calls == [('recv_into', 10485760)]


@pytest.mark.parametrize('answer, expected', [(-3, b'\0' * 13), (99, b'\0' * 16), (0, b'')])
def test_single_read_slices_like_python(impl, answer, expected):
    obj = attached(recording(impl.SocketBase, buffer=16), SocketDouble([answer]))
    assert obj.receive_data() == expected


def test_silent_peer_times_out(impl, fake_time):
    with LocalServer(wait_for_close) as server:
        obj = recording(impl.SocketBase)('127.0.0.1', server.port, timeout=0.1)
        obj.connect()
        assert obj.receive_data(4) is None
        assert obj.status == 0 and fake_time.sleeps == [0.2]
        (kind, e, handled), = obj.events[1:]
        assert kind == 'network_error' and isinstance(e, socket.timeout) and handled is e
        assert obj.receive_data(ignore_error=True) is None
        assert len(obj.events) == 2 and fake_time.sleeps == [0.2, 0.2]
        obj.client.close()


@pytest.mark.parametrize('ignore', [False, True])
def test_send_error(impl, fake_time, ignore):
    failure = BrokenPipeError(32, 'broken')
    obj = attached(recording(impl.SocketBase), SocketDouble(send_error=failure))
    assert obj.send_data(b'x', ignore) is None
    assert obj.status == 0 and fake_time.sleeps == [0.2]
    assert sys.exc_info() == (None, None, None)
    assert obj.events == ([] if ignore else [('network_error', failure, failure)])


def test_send_without_a_server(impl, fake_time):
    obj = recording(impl.SocketBase)('127.0.0.1', closed_port())
    assert obj.send_data(b'x') is None
    assert fake_time.sleeps == [0.5, 0.5, 0.2, 0.2]
    (_, first, handled), (_, second, _) = obj.events
    assert isinstance(first, ConnectionRefusedError) and handled is None
    assert isinstance(second, OSError)
    obj.client.close()


def test_communication_not_permitted(impl, monkeypatch):
    monkeypatch.setattr(sysclsbase.vr.g_BelvaneCache, 'allow_comm_bv', 0)
    double = SocketDouble()
    obj = attached(recording(impl.SocketBase), double)
    with pytest.raises(VersionError) as info:
        obj.send_data(b'x')
    assert info.value.args == (sysclsbase.vr.g_BelvaneCache.not_allow_comm_bv_tips,)
    assert double.calls == [] and obj.connected


class Odd(Exception):
    pass


@pytest.mark.parametrize('failure, drained', [(ValueError('v'), True), (KeyboardInterrupt(), True),
                                              (Odd(), True), (SystemExit(3), False),
                                              (GeneratorExit(), False)])
def test_unexpected_errors(impl, fake_time, failure, drained):
    double = SocketDouble(send_error=failure)
    obj = attached(recording(impl.SocketBase), double)
    with pytest.raises(type(failure)) as info:
        obj.send_data(b'x')
    assert info.value is failure
    assert double.calls[1:] == ([('recv_into', 10485760)] if drained else [])
    assert obj.events == [] and obj.connected and fake_time.sleeps == []


def test_a_failing_drain_replaces_the_error(impl):
    first = TypeError('first')
    double = SocketDouble([first, RuntimeError('drain')])
    obj = attached(recording(impl.SocketBase), double)
    with pytest.raises(RuntimeError) as info:
        obj.receive_data(4)
    assert info.value.__context__ is first


def test_fixed_length_beyond_the_buffer(impl):
    double = SocketDouble([b'0123456789'])
    obj = attached(recording(impl.SocketBase, buffer=8), double)
    pytest.raises(ValueError, obj.receive_data, 10)
    assert double.calls == [('recv', 10), ('recv_into', 8)]


@pytest.mark.parametrize('read', [5, object(), 'text'])
def test_reads_of_the_wrong_type(impl, read):
    double = SocketDouble([read])
    obj = attached(recording(impl.SocketBase), double)
    with pytest.raises(TypeError):
        obj.receive_data(4)
    assert double.calls[-1] == ('recv_into', 10485760)


def test_rebound_socket_global(impl, monkeypatch, fake_time):
    class Net(object):
        class error(Exception):
            pass
        timeout = socket.timeout
    monkeypatch.setattr(impl, 'socket', Net)
    failure = Net.error('own')
    obj = attached(recording(impl.SocketBase), SocketDouble(send_error=failure))
    obj.send_data(b'x')
    assert obj.events == [('network_error', failure, failure)] and obj.status == 0
    Net.error = 'not a class'
    obj = attached(recording(impl.SocketBase), SocketDouble(send_error=OSError('x')))
    with pytest.raises(TypeError, match='catching classes') as info:
        obj.send_data(b'x')
    assert isinstance(info.value.__context__, OSError)


# ---- leaks and calls --------------------------------------------------------

def test_no_reference_left_on_error_paths(impl, fake_time):
    failure = ConnectionResetError('reset')
    payload = b'payload'
    obj = attached(recording(impl.SocketBase), SocketDouble(send_error=failure))
    obj.send_data(payload)
    obj.events = []
    del obj.client.calls[:]
    # Raising the same object again would grow its traceback.
    failure.__traceback__ = None
    before = sys.getrefcount(failure), sys.getrefcount(payload)
    for _ in range(200):
        obj.status = 1
        obj.send_data(payload, True)
        del obj.client.calls[:]
        failure.__traceback__ = None
        obj._error = failure
        obj.error
    assert (sys.getrefcount(failure), sys.getrefcount(payload)) == before


@pytest.mark.parametrize('call', [
    lambda m: m.SocketBase(),
    lambda m: m.SocketBase('h'),
    lambda m: m.SocketBase('h', 1, 2, 3),
    lambda m: m.SocketBase('h', 1, port=2),
    lambda m: m.SocketBase('h', 1).connect(1, 2),
    lambda m: m.SocketBase('h', 1).send_data(),
    lambda m: m.SocketBase('h', 1).send_data(b'', data=b''),
    lambda m: m.SocketBase('h', 1).receive_data(1, 2, 3, 4),
    lambda m: m.SocketBase('h', 1).receive_data(size=1),
    lambda m: m.SocketBase('h', 1)._deal_error(),
    lambda m: m.SocketBase('h', 1).callback_network_error(),
    lambda m: m.SocketBase.connected.fget(),
    lambda m: m.SocketBase.get_timeout(),
    lambda m: m.SocketBase('h', 1).set_timeout(**{'x': 1}),
])
def test_argument_errors_match_python(call):
    assert raised(lambda: call(sorvel)) == raised(lambda: call(sorvel_io))


# ---- hostile inputs: scripted answers, buffers and attributes, native against peer --

# The native module and its peer, for outcomes.run_both.
MODULES = (sorvel, sorvel_io)
# The hostile doubles answer every call from their script.
EVERY_CALL = ('sendall', 'settimeout', 'close', 'connect')

SOCKET_ANSWERS = [
    ('recv_into huge', [2 ** 100]), ('recv_into negative', [-1]), ('recv_into past end', [11 << 20]),
    ('recv_into float', [1.5]), ('recv_into None', [None]), ('recv_into bool', [True]),
    ('recv_into index raises', [hostile('__index__', 'raise')]),
    ('recv_into index wrong', [hostile('__index__', 'wrong')]),
    ('data', [b'abc']),
    ('recv str', ['text']), ('recv bytearray', [bytearray(b'xy')]), ('recv None', [None]),
    ('recv len raises', [hostile('__len__', 'raise', base=bytes, value=b'ab')]),
    ('recv len wrong', [hostile('__len__', 'wrong', base=bytes, value=b'ab')]),
    ('recv bool raises', [hostile('__bool__', 'raise', base=bytes, value=b'ab')]),
    ('recv add wrong', [hostile('__radd__', 'wrong', base=bytes, value=b'ab')]),
    ('recv too long', [b'x' * 64]),
    ('os error', [OSError('down')]), ('timeout', [socket.timeout('slow')]),
    ('value error', [ValueError('odd')]), ('keyboard', [KeyboardInterrupt()]),
    ('boom then ok', [Boom('x'), b'']),
]

SOCKET_CALLS = [
    ('single', lambda c: c.receive_data()), ('fixed', lambda c: c.receive_data(3, try_times=4)),
    ('fixed big', lambda c: c.receive_data(2 ** 70, try_times=2)),
    ('fixed hostile', lambda c: c.receive_data(hostile('__sub__', 'raise'), try_times=2)),
    ('fixed index', lambda c: c.receive_data(hostile('__int__', 'wrong'), try_times=2)),
    ('tries hostile', lambda c: c.receive_data(3, try_times=hostile('__gt__', 'raise'))),
    ('tries float', lambda c: c.receive_data(3, try_times=2.5)),
    ('send', lambda c: c.send_data(b'x')), ('send ignore', lambda c: c.send_data(b'x', BadBool())),
    ('set_timeout', lambda c: c.set_timeout(1)), ('disconnect', lambda c: c.disconnect()),
    ('garbage', lambda c: c._receive_garbage_data()),
    ('deal', lambda c: c._deal_error(hostile('__str__', 'raise', base=object))),
]


def released_view():
    v = memoryview(bytearray(16))
    v.release()
    return v


VIEWS = [
    ('default', None), ('bytes', lambda: b'\0' * 16), ('short', lambda: memoryview(bytearray(2))),
    ('readonly', lambda: memoryview(b'\0' * 16)), ('ints', lambda: memoryview(bytearray(16)).cast('i')),
    ('2d', lambda: memoryview(bytearray(16)).cast('B', (4, 4))),
    ('released', released_view), ('none', lambda: None),
]


@pytest.fixture
def fake_modules(monkeypatch):
    """No pause is taken on either side, and no real socket made: connect()
    is refused three times (see refusing()), then connects."""
    for module in MODULES:
        monkeypatch.setattr(module, 'time', FakeTime())
        monkeypatch.setattr(module, 'socket', None)


def refusing(module):
    module.socket = SocketModule([ConnectionRefusedError('no')] * 3, cycle=False)


def hostile_client(module, answers):
    return attached(recording(module.SocketBase, buffer=64),
                    SocketDouble(answers, scripted=EVERY_CALL))


def what_happened(module, c, double):
    return [('calls', canon(double.calls)), ('events', canon(c.events)),
            ('sleeps', module.time.sleeps), outcome(lambda: c.status)]


def reads_scenario(module, answers, call, view):
    del module.time.sleeps[:]
    c = hostile_client(module, answers)
    c.buffer_size = 16
    if view is not None:
        c.receive_buffer = view()
    out = [outcome(lambda: call(c)), outcome(lambda: c.data)] + what_happened(module, c, c.client)
    # Usable again with a sane double.
    c.client = SocketDouble([b'ok'])
    c.receive_buffer = memoryview(bytearray(16))
    out.append(outcome(lambda: c.receive_data()))
    return out


@pytest.mark.parametrize('call', [c for _, c in SOCKET_CALLS], ids=[i for i, _ in SOCKET_CALLS])
def test_hostile_reads_and_buffers(fake_modules, call):
    for _, answers in SOCKET_ANSWERS:
        for _, view in VIEWS:
            run_both(reads_scenario, MODULES, answers, call, view)


SOCKET_ATTRS = [
    ('status', hostile('__eq__', 'raise')), ('status', BadBool()), ('socket_status_open', None),
    ('data', DELETED), ('client', DELETED), ('client', None), ('buffer_size', -1),
    ('buffer_size', 2 ** 80), ('buffer_size', hostile('__index__', 'raise')),
    ('receive_buffer', DELETED), ('server_address', hostile('__iter__', 'raise', base=object)),
    ('timeout', hostile('__float__', 'raise', base=object)), ('_error', DELETED),
]


@pytest.mark.parametrize('attr, h', SOCKET_ATTRS, ids=['%s-%d' % (a, i) for i, (a, _) in
                                                       enumerate(SOCKET_ATTRS)])
def test_attributes_replaced_or_deleted(fake_modules, attr, h):
    def scenario(module):
        out = []
        for _, call in SOCKET_CALLS + [('connect', lambda c: c.connect(1)),
                                       ('error', lambda c: c.error),
                                       ('connected', lambda c: c.connected),
                                       ('reconnect', lambda c: c.reconnect())]:
            c = hostile_client(module, [b'ab', b'xyz', b'', OSError('x')])
            put(c, attr, h)
            refusing(module)
            out.append(outcome(lambda: call(c)))
            out.append(('events', canon(c.events)))
        return out
    run_both(scenario, MODULES)


def test_hostile_constructor_and_retry_arguments(fake_modules):
    def scenario(module, h):
        refusing(module)
        out = [outcome(lambda: recording(module.SocketBase)(h, h, timeout=h).timeout)]
        c = recording(module.SocketBase)('127.0.0.1', 9)
        out.append(outcome(lambda: c.connect(retry=h)))
        out.append(outcome(lambda: type(c.error)))
        out.append(outcome(lambda: c.receive_data(h, try_times=1)))
        out.append(outcome(lambda: c.set_timeout(h)))
        out.append(('events', canon(c.events)))
        return out
    for _, h in INT_VALUES:
        run_both(scenario, MODULES, h)


# ---- native against peer on random exchanges ------------------------------------

from hypothesis import given, settings, strategies as st  # noqa: E402

ERRORS = [ConnectionResetError(104, 'reset'), socket.timeout('slow'), ValueError('odd'),
          KeyboardInterrupt(), SystemExit(2), OSError('plain')]
READS = st.one_of(st.binary(max_size=6), st.sampled_from(ERRORS), st.sampled_from([0, 3, -2, 40]))
OPS = st.one_of(
    st.tuples(st.just('send'), st.binary(max_size=4), st.booleans()),
    st.tuples(st.just('receive'), st.sampled_from([None, 0, 1, 5, -1, True, 2.0]), st.booleans(),
              st.sampled_from([0, 1, 3, 10000000])),
    st.tuples(st.just('disconnect')),
    st.tuples(st.just('error')),
)


def run_script(module, reads, ops, send_error, close_error):
    saved = module.time
    module.time = FakeTime()

    double = SocketDouble(list(reads), send_error, close_error)
    obj = attached(recording(module.SocketBase, buffer=8), double)
    outcomes = []
    try:
        for op in ops:
            obj.status = 1
            try:
                if op[0] == 'send':
                    result = obj.send_data(op[1], op[2])
                elif op[0] == 'receive':
                    result = obj.receive_data(op[1], op[2], op[3])
                elif op[0] == 'disconnect':
                    result = obj.disconnect()
                else:
                    result = obj.error
                result = ('ok', result)
            except BaseException as e:  # KeyboardInterrupt and SystemExit included
                result = ('raised',) + failure(e)
            outcomes.append((result, obj.status, obj.data, bytes(obj.receive_buffer)))
        return canon((outcomes, obj.events, double.calls, module.time.sleeps))
    finally:
        module.time = saved


@settings(max_examples=150, deadline=None)
@given(st.lists(READS, max_size=8), st.lists(OPS, max_size=6),
       st.sampled_from([None] + ERRORS), st.sampled_from([None] + ERRORS))
def test_native_matches_peer(reads, ops, send_error, close_error):
    assert run_script(sorvel, reads, ops, send_error, close_error) == \
        run_script(sorvel_io, reads, ops, send_error, close_error)
