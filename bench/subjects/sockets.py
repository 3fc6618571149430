"""Rows for the TCP client base over loopback (127.0.0.1 only)."""
import socket
import threading

from bench.harness import Row

NATIVE = 'belvane.tframe.utils.sorvel'
PEER = 'sorvel_io'

KIB = b'k' * 1024
MIB = b'm' * (1 << 20)


class _Server(object):
    """A loopback peer: answers every request line with its payload.
    A request is one byte: 'k' asks for 1 KiB back, 'm' for 1 MiB, 's' for
    nothing (a sink for sends)."""

    def __init__(self):
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(('127.0.0.1', 0))
        self.listener.listen(8)
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn):
        with conn:
            while True:
                try:
                    data = conn.recv(1 << 20)
                except OSError:
                    return
                if not data:
                    return
                for _ in range(data.count(b'k')):
                    conn.sendall(KIB)
                for _ in range(data.count(b'm')):
                    conn.sendall(MIB)


_server = None


def server():
    global _server
    if _server is None:
        _server = _Server()
    return _server


def client(mod):
    class Client(mod.SocketBase):
        def callback_connected(self):
            pass

        def callback_disconnected(self):
            pass

        def callback_network_error(self, e):
            raise e
    c = Client('127.0.0.1', server().port, timeout=5)
    assert c.connect()
    return c


def _send(payload):
    def make(mod):
        c = client(mod)
        # Sends without a request byte: the server reads and drops them.
        data = b'x' * len(payload)
        return lambda: c.send_data(data)
    return make


def _roundtrip_kib(mod):
    c = client(mod)

    def roundtrip():
        c.send_data(b'k')
        got = 0
        while got < len(KIB):
            got += len(c.receive_data())
    return roundtrip


def _roundtrip_mib(mod):
    c = client(mod)

    def roundtrip():
        c.send_data(b'm')
        got = c.receive_data(len(MIB))
        assert len(got) == len(MIB)
    return roundtrip


ROWS = [
    Row('SocketBase.send_data(1 KiB)', _send(KIB)),
    Row('SocketBase.send_data(1 MiB)', _send(MIB)),
    Row('SocketBase request + receive_data() 1 KiB, single reads', _roundtrip_kib),
    Row('SocketBase request + receive_data(1 MiB), fixed length', _roundtrip_mib, number=20),
]
