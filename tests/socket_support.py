"""What the SocketBase tests talk to: a scripted socket double, a stand-in
for the socket module that hands such doubles out, a client that records
what its hooks see, and a real TCP server on 127.0.0.1."""
import socket
import sys
import threading
import time


class SocketDouble(object):
    """A connected socket. Reads (recv, recv_into) answer from the script
    `reads` in turn: bytes are the data (recv_into copies them into the
    buffer and gives their length), an exception is raised and anything
    else is handed back as it is. Past its end the script gives b'', or
    starts over with cycle=True. The other calls succeed unless an error is
    set for them; those named in `scripted` answer from the script too.
    Every call is recorded in `calls`, unless record=False (the leak checks:
    a growing record would read as a leak)."""

    def __init__(self, reads=(), send_error=None, close_error=None, settimeout_error=None,
                 scripted=(), cycle=False, record=True):
        self.script = reads if isinstance(reads, Script) else Script(reads, cycle)
        self.send_error = send_error
        self.close_error = close_error
        self.settimeout_error = settimeout_error
        self.scripted = scripted
        self.calls = [] if record else None
        self.owner = None

    def _record(self, *call):
        if self.calls is not None:
            self.calls.append(call)

    def _next(self):
        return self.script.next()

    def _answer(self, name, error):
        if error is not None:
            _raise(error)
        if name in self.scripted:
            return self._next()
        return None

    def recv(self, n):
        self._record('recv', n)
        return self._next()

    def recv_into(self, buffer, n):
        self._record('recv_into', n)
        item = self._next()
        if type(item) is bytes:
            buffer[:len(item)] = item
            return len(item)
        return item

    def sendall(self, data):
        self._record('sendall', data)
        return self._answer('sendall', self.send_error)

    def settimeout(self, t):
        self._record('settimeout', t)
        return self._answer('settimeout', self.settimeout_error)

    def close(self):
        self._record('close', None if self.owner is None else self.owner.status)
        return self._answer('close', self.close_error)

    def connect(self, address):
        self._record('connect', address)
        return self._answer('connect', None)

    def setsockopt(self, *args):
        self._record('setsockopt')


class Script(object):
    """Answers in turn: an exception is raised, anything else given. Past the
    end b'', or from the start again with cycle=True."""

    def __init__(self, items, cycle=False):
        self.items, self.cycle, self.taken = list(items), cycle, 0

    def next(self):
        i = self.taken
        self.taken += 1
        if self.cycle:
            i %= len(self.items)
        elif i >= len(self.items):
            return b''
        item = self.items[i]
        if isinstance(item, BaseException):
            _raise(item)
        return item


def _raise(error):
    # The same object raised again and again would grow its traceback.
    error.__traceback__ = None
    raise error


class TimingOut(SocketDouble):
    """recv answers from the script; recv_into (the drain after an
    unexpected error) finds nothing, so that what a RecursionError there
    leaves is the RecursionError itself, not the script's next answer."""

    def recv_into(self, buffer, n):
        self._record('recv_into', n)
        return 0


class SocketModule(object):
    """Stands in for the socket module: its sockets are doubles whose
    connect() calls answer, all sockets together, from one script (None:
    connected; an exception: refused), by default over and over."""
    error, timeout = OSError, socket.timeout
    AF_INET, SOCK_STREAM = socket.AF_INET, socket.SOCK_STREAM
    SOL_SOCKET, SO_RCVBUF = socket.SOL_SOCKET, socket.SO_RCVBUF

    def __init__(self, answers=(None,), cycle=True, record=True):
        self.script, self.record = Script(answers, cycle), record

    def socket(self, *args):
        return SocketDouble(self.script, scripted=('connect',), record=self.record)


_clients = {}


def recording(base, buffer=None):
    """The subclass of SocketBase `base` (native or peer) whose hooks record
    what they see in `events`: 'connected', 'disconnected' and
    ('network_error', error, the exception being handled); with a receive
    buffer of `buffer` bytes if given. A client whose events are None
    records nothing."""
    key = (base, buffer)
    if key not in _clients:
        class Client(base):
            def __init__(self, *args, **kwargs):
                self.events = []
                base.__init__(self, *args, **kwargs)

            def callback_connected(self):
                if self.events is not None:
                    self.events.append('connected')

            def callback_disconnected(self):
                if self.events is not None:
                    self.events.append('disconnected')

            def callback_network_error(self, e):
                # What a hook that logs the traceback would see.
                if self.events is not None:
                    self.events.append(('network_error', e, sys.exc_info()[1]))
        if buffer is not None:
            Client.socket_default_buffer = buffer
        _clients[key] = Client
    return _clients[key]


def attached(cls, double, status=1, **kwargs):
    """A `cls` client for 127.0.0.1:9 that talks to `double`, in `status`."""
    obj = cls('127.0.0.1', 9, **kwargs)
    obj.client = double
    double.owner = obj
    obj.status = status
    return obj


class LocalServer(object):
    """Serves connections on 127.0.0.1 one after another in a thread; stops
    by itself after `lifetime` seconds at the latest."""

    def __init__(self, handler, lifetime=4.0):
        self.handler = handler
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.bind(('127.0.0.1', 0))
        self.sock.listen(64)
        self.sock.settimeout(0.02)
        self.port = self.sock.getsockname()[1]
        self.deadline = time.time() + lifetime
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._run)
        self.thread.daemon = True
        self.thread.start()

    def _run(self):
        try:
            while not self.stopping.is_set() and time.time() < self.deadline:
                try:
                    conn, _ = self.sock.accept()
                except socket.timeout:
                    continue
                with conn:
                    conn.settimeout(max(0.05, self.deadline - time.time()))
                    try:
                        self.handler(conn)
                    except OSError:
                        pass
        finally:
            self.sock.close()

    def close(self):
        self.stopping.set()
        self.thread.join(5)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def closed_port():
    s = socket.socket()
    s.bind(('127.0.0.1', 0))
    port = s.getsockname()[1]
    s.close()
    return port
