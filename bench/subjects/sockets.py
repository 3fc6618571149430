"""Rows for the TCP client base over loopback (127.0.0.1 only).

What is timed is the class's call alone: the server runs in a child process
(it never competes for the interpreter lock) and everything that waits for
it runs untimed around each call, the same code for every implementation.
A send is followed by waiting for the server's note that it has read all of
it, so every send starts on an empty connection; before a receive the request
goes out on the raw socket and the row waits (peeking at the client's socket,
into a buffer made once) until the whole answer is in the kernel's buffer, so
receive_data meets the same ready bytes every time.
"""
import atexit
import socket
import subprocess
import sys

from bench.harness import PartTimer, Row

NATIVE = 'belvane.tframe.utils.sorvel'
PEER = 'sorvel_io'

KIB = 1024
MIB = 1 << 20

# A request is one byte: 'k' asks for 1 KiB back, 'm' for 1 MiB, 'a' for a
# one-byte note '!'; other bytes are read and dropped (a sink for sends). The
# server ends when its standard input closes (its parent is gone) or after an
# hour.
SERVER = r'''
import socket, sys, threading
ANSWERS = {ord('k'): b'k' * 1024, ord('m'): b'm' * (1 << 20), ord('a'): b'!'}
def serve(conn):
    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    buf = bytearray(1 << 20)
    with conn:
        while True:
            try:
                n = conn.recv_into(buf)
            except OSError:
                return
            if not n:
                return
            for c in buf[:n].translate(None, b'x'):
                if c in ANSWERS:
                    conn.sendall(ANSWERS[c])
def accept(listener):
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(conn,), daemon=True).start()
listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
listener.bind(('127.0.0.1', 0))
listener.listen(8)
print(listener.getsockname()[1], flush=True)
threading.Thread(target=accept, args=(listener,), daemon=True).start()
done = threading.Event()
threading.Thread(target=lambda: (sys.stdin.read(), done.set()), daemon=True).start()
done.wait(3600)
'''

_server = None


def server_port():
    global _server
    if _server is None:
        _server = subprocess.Popen([sys.executable, '-c', SERVER], stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, universal_newlines=True)
        atexit.register(_stop)
        _server.port = int(_server.stdout.readline())
    return _server.port


def _stop():
    if _server is not None and _server.poll() is None:
        _server.stdin.close()
        try:
            _server.wait(2)
        except subprocess.TimeoutExpired:
            _server.kill()
            _server.wait()


def client(mod):
    class Client(mod.SocketBase):
        def callback_connected(self):
            pass

        def callback_disconnected(self):
            pass

        def callback_network_error(self, e):
            raise e
    c = Client('127.0.0.1', server_port(), timeout=5)
    assert c.connect()
    return c


_peek = bytearray(MIB)


def wait_for(sock, size):
    """Until `size` bytes are waiting in the socket's receive buffer."""
    view = memoryview(_peek)[:size]
    while sock.recv_into(view, size, socket.MSG_PEEK) < size:
        pass


def _send(size):
    def make(mod):
        c = client(mod)
        sock = c.client
        # The server drops the x's and answers the closing 'a' once it has
        # read everything before it.
        data = b'x' * (size - 1) + b'a'

        def drained():
            assert sock.recv(1) == b'!'
        return PartTimer(lambda: c.send_data(data), after=drained)
    return make


def _receive(request, size, *args):
    def make(mod):
        c = client(mod)
        sock = c.client

        def ready():
            sock.sendall(request)
            wait_for(sock, size)

        def receive():
            assert len(c.receive_data(*args)) == size
        return PartTimer(receive, before=ready)
    return make


ROWS = [
    Row('SocketBase.send_data(1 KiB)', _send(KIB)),
    Row('SocketBase.send_data(1 MiB)', _send(MIB)),
    Row('SocketBase.receive_data() 1 KiB ready, single read', _receive(b'k', KIB)),
    Row('SocketBase.receive_data(1 MiB) ready, fixed length', _receive(b'm', MIB, MIB)),
]
