"""The toolkit's output directories, strategy loader and socket client."""
import os
import shutil
import socket
import tempfile
import threading

from belvane.tframe.utils import sorvel


class EchoClient(sorvel.SocketBase):
    def __init__(self, *args, **kwargs):
        self.log = []
        super(EchoClient, self).__init__(*args, **kwargs)

    def callback_connected(self):
        self.log.append('connected')

    def callback_disconnected(self):
        self.log.append('disconnected')

    def callback_network_error(self, e):
        self.log.append('network error: %r' % (e,))


def _echo_once(listener):
    conn, _ = listener.accept()
    with conn:
        while True:
            chunk = conn.recv(65536)
            if not chunk:
                return
            conn.sendall(chunk)


def run(out=print):
    out('Toolkit: output directories, strategy files and a socket client')
    root = tempfile.mkdtemp(prefix='belvane-demo-')
    try:
        class DemoOutput(sorvel.OutputFileManager):
            pass
        DemoOutput.init(root_dir=root)
        DemoOutput.set_task_id(42)
        record = DemoOutput.get_sub_dir('record', 'orders')
        out('  output root %s holds %s' % (root, sorted(os.listdir(root))))
        out('  record directory of task 42: %s' % os.path.relpath(record, root))

        path = os.path.join(root, 'strategy.py')
        with open(path, 'w', encoding='utf-8') as f:
            f.write('def on_bar(price):\r\n    return round(price * 1.01, 2)\r\n')
        scope = sorvel.FileStrategyLoader(path).load({})
        out('  strategy loaded from file: on_bar(10.0) = %s' % scope['on_bar'](10.0))

        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.bind(('127.0.0.1', 0))
        listener.listen(1)
        listener.settimeout(5)
        server = threading.Thread(target=_echo_once, args=(listener,))
        server.daemon = True
        server.start()
        client = EchoClient('127.0.0.1', listener.getsockname()[1], timeout=5)
        client.send_data(b'order 600000.SH buy 300')
        answer = client.receive_data(23)
        client.disconnect()
        server.join(5)
        listener.close()
        out('  echo server answered %r' % answer)
        out('  client hooks: %s' % ', '.join(client.log))
    finally:
        shutil.rmtree(root, ignore_errors=True)
