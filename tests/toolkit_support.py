"""Shared pieces of the toolkit tests: the file and socket classes on the
native module and on their peer, stand-ins for the clock and for `time`,
and a real TCP server on 127.0.0.1."""
import datetime
import socket
import threading
import time

import pytest

from belvane.tframe.utils import sorvel
from peers import sorvel_io


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
    """Stands in for the time module: records the pauses instead of taking them."""

    def __init__(self):
        self.sleeps = []
        self.on_sleep = None

    def sleep(self, seconds):
        self.sleeps.append(seconds)
        if self.on_sleep:
            self.on_sleep(seconds)


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
