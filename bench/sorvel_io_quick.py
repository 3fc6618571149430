"""Quick throughput of SocketBase.send_data / receive_data over loopback,
native against the plain-Python peer, in one run.

    PYTHONPATH=build/default/site .venv/default/bin/python bench/sorvel_io_quick.py

Threads on 127.0.0.1 serve the client: a sink takes what send_data sends, a
source keeps the connection full so that fixed-length receives find their
bytes waiting, and an echo answers each message for the single-read rows
(those time a round trip: one send_data and the receive_data() calls that
collect the answer). The "no syscall" rows use a socket double made of
builtins and show the classes' own cost. Times are microseconds per operation, the best of
interleaved repeats; loopback round trips on a shared machine are noisy.
"""
import os
import platform
import socket
import sys
import threading
import time
import types

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from belvane.tframe.utils import sorvel  # noqa: E402
from peers import sorvel_io as peer  # noqa: E402

KIB, MIB = 1024, 1024 * 1024


def serve(handler):
    """Accepts connections on 127.0.0.1 and serves each in its own daemon
    thread until the process ends."""
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(('127.0.0.1', 0))
    listener.listen(8)

    def accept():
        while True:
            try:
                conn, _ = listener.accept()
            except OSError:
                return
            t = threading.Thread(target=handler, args=(conn,))
            t.daemon = True
            t.start()
    t = threading.Thread(target=accept)
    t.daemon = True
    t.start()
    return listener.getsockname()[1]


def sink(conn):
    with conn:
        buf = bytearray(4 * MIB)
        while conn.recv_into(buf):
            pass


def source(conn):
    with conn:
        block = os.urandom(4 * MIB)
        try:
            while True:
                conn.sendall(block)
        except OSError:
            pass


def echo(conn):
    with conn:
        while True:
            chunk = conn.recv(4 * MIB)
            if not chunk:
                return
            conn.sendall(chunk)


def client(module, port):
    class Client(module.SocketBase):
        def callback_connected(self):
            pass

        def callback_disconnected(self):
            pass

        def callback_network_error(self, e):
            raise e
    c = Client('127.0.0.1', port, timeout=10)
    assert c.connect()
    return c


def timed(op, budget=0.1):
    n, start = 0, time.perf_counter()
    while True:
        op()
        n += 1
        elapsed = time.perf_counter() - start
        if elapsed >= budget:
            return elapsed / n * 1e6


def rows(ports):
    for size, label in ((KIB, '1 KiB'), (MIB, '1 MiB')):
        msg = os.urandom(size)

        def send(c):
            return lambda: c.send_data(msg)

        def fixed(c):
            def op():
                assert len(c.receive_data(size)) == size
            return op

        def single(c):
            def op():
                c.send_data(msg)
                got = 0
                while got < size:
                    got += len(c.receive_data())
            return op
        yield 'send_data %s' % label, ports['sink'], send
        yield 'receive_data(n) %s' % label, ports['source'], fixed
        yield 'echo + receive_data() %s' % label, ports['echo'], single


def main(repeats=5):
    ports = dict((name, serve(handler)) for name, handler in
                 (('sink', sink), ('source', source), ('echo', echo)))
    print('%s %s' % (platform.python_implementation(), platform.python_version()))
    print('%-32s %10s %10s %9s' % ('operation (us per call)', 'native', 'peer', 'peer/nat'))
    g = {'__package__': 'belvane.tframe.utils', '__name__': 'belvane.tframe.utils.sorvel'}

    def lookup():
        try:
            __import__('belvane.tframe', g, None, ('sysclsbase',), 1)
        except ImportError:
            __import__('belvane.tframe', g, None, ('sysclsbase',), 0)
    t = min(timed(lookup) for _ in range(repeats))
    print('%-32s %10.1f   (paid by every send_data, both sides)' % ('sysclsbase import, package first', t))
    # The classes' own cost: a socket double of builtins does no system call.
    doubles = []
    for module in (sorvel, peer):
        c = module.SocketBase('127.0.0.1', 9)
        c.status = 1
        c.client = types.SimpleNamespace(recv=bytes, recv_into=lambda buf, n: KIB, sendall=len)
        doubles.append(c)
    for label, make in (('no syscall: receive_data(1024)', lambda c: lambda: c.receive_data(KIB)),
                        ('no syscall: receive_data()', lambda c: c.receive_data)):
        ops = [make(c) for c in doubles]
        best = [min(x) for x in zip(*[[timed(op) for op in ops] for _ in range(repeats)])]
        print('%-32s %10.2f %10.2f %9.2f' % (label, best[0], best[1], best[1] / best[0]))
    for label, port, make in rows(ports):
        clients = [client(module, port) for module in (sorvel, peer)]
        ops = [make(c) for c in clients]
        for op in ops:
            op()
        best = [min(x) for x in zip(*[[timed(op) for op in ops] for _ in range(repeats)])]
        for c in clients:
            c.disconnect()
        print('%-32s %10.1f %10.1f %9.2f' % (label, best[0], best[1], best[1] / best[0]))
    return 0


if __name__ == '__main__':
    sys.exit(main())
