"""Plain-Python peer of the toolkit's OutputFileManager, FileStrategyLoader
and SocketBase: the same behaviour, for differential tests and benchmarks."""
import errno
import os
import shutil
import socket
import stat
import time

from belvane.tframe.utils.exceptions import VersionError

# The toolkit's imports of non-relative names look inside its own package
# first, then at the top level; the peer does the same, at the same cost.
_TOOLKIT_PACKAGE = 'belvane.tframe.utils'


def _import_from(name, attr):
    try:
        module = __import__(_TOOLKIT_PACKAGE + '.' + name, None, None, (attr,), 0)
    except ImportError:
        module = __import__(name, None, None, (attr,), 0)
    return getattr(module, attr)


def get_cur_mac_address():
    import uuid
    node = uuid.getnode()
    mac = uuid.UUID(int=node).hex[-12:].upper()
    return '-'.join([mac[e:e + 2] for e in range(0, 11, 2)])


class OutputFileManager(object):
    import tempfile
    __root_dir = os.path.normpath(os.path.join(tempfile.gettempdir(), 'Quenmark', get_cur_mac_address()))
    del tempfile
    __root_sub = ['', 'record', 'mat', 'test', 'log']
    __task_id = ''

    @classmethod
    def root_sub_dir(cls, sub=''):
        if sub not in cls.__root_sub:
            return None
        if sub == 'record':
            sub = 'record_' + str(cls.__task_id)
        return os.path.normpath(os.path.join(cls.__root_dir, sub))

    @classmethod
    def get_sub_dir(cls, root_dir='mat', sub_dir_name=''):
        _dir = os.path.normpath(os.path.join(cls.root_sub_dir(root_dir), sub_dir_name))
        cls.mk_dir(_dir)
        return _dir

    @classmethod
    def set_task_id(cls, task_id):
        cls.__task_id = task_id

    @classmethod
    def rm_root_sub_dir(cls, sub):
        sub_path = cls.root_sub_dir(sub)
        if os.path.exists(sub_path):
            _check_removable(cls.__root_dir, sub_path)
            try:
                shutil.rmtree(sub_path)
            except OSError:
                for d in os.listdir(sub_path):
                    if d == 'ana_belvane.log':
                        continue
                    _file_path = os.path.join(sub_path, d)
                    try:
                        if os.path.isfile(_file_path):
                            os.remove(_file_path)
                        else:
                            shutil.rmtree(_file_path)
                    except OSError:
                        pass
        return sub_path

    @staticmethod
    def mk_dir(path):
        if os.path.isfile(path):
            _dir = os.path.dirname(path)
        else:
            _dir = path
        if not os.path.exists(_dir):
            private = _private_levels(_dir)
            try:
                if private is None:
                    os.makedirs(_dir)
                else:
                    for level in private:
                        try:
                            os.mkdir(level, 0o700)
                        except FileExistsError:
                            pass
            except OSError:
                pass

    @classmethod
    def mk_root_sub_dir(cls, sub):
        _path = cls.root_sub_dir(sub)
        if _path:
            cls.mk_dir(_path)
        return _path

    @classmethod
    def cls_root_sub_dir(cls, sub):
        cls.rm_root_sub_dir(sub)
        return cls.mk_root_sub_dir(sub)

    @classmethod
    def init(cls, root_dir=None):
        if root_dir is not None:
            cls.__root_dir = root_dir
        cls.mk_root_sub_dir('log')
        cls.mk_root_sub_dir('mat')


_DEFAULT_ROOT = OutputFileManager._OutputFileManager__root_dir


def _levels(top, path):
    # The directories from `top` down to `path`, outermost first, and whether
    # `path` lies below `top`; if not, they start at its outermost component.
    levels = [path]
    while path != top:
        parent = os.path.dirname(path)
        if not parent or parent == path:
            levels.reverse()
            return levels, False
        path = parent
        levels.append(path)
    levels.reverse()
    return levels, True


def _private_levels(path):
    # The default root lies in the shared temporary directory: what is made
    # there, from 'Quenmark' down, is the user's alone. None elsewhere.
    levels, below = _levels(os.path.dirname(_DEFAULT_ROOT), os.path.normpath(path))
    if below and len(levels) > 1 and levels[1] == _DEFAULT_ROOT:
        return levels
    return None


def _check_removable(root, path):
    # Another user could have put links or directories of their own on the
    # way (the default root sits in the shared temporary directory); nothing
    # is removed through them. Links and directories of this user or of the
    # superuser are trusted.
    top = os.path.normpath(root)
    if top == _DEFAULT_ROOT:
        top = os.path.dirname(top)
    euid = os.geteuid()
    for level in _levels(top, path)[0]:
        st = os.lstat(level)
        if stat.S_ISLNK(st.st_mode):
            if _foreign(st, euid):
                raise PermissionError(errno.EACCES, 'Symbolic link owned by another user', level)
            if _foreign(os.stat(level), euid):
                raise PermissionError(errno.EACCES,
                                      'Symbolic link to a directory owned by another user', level)
        elif _foreign(st, euid):
            raise PermissionError(errno.EACCES, 'Directory owned by another user', level)


def _foreign(st, euid):
    # Owned neither by this process's effective user nor by the superuser.
    uid = st.st_uid
    return uid != euid and uid != 0


class FileStrategyLoader(object):
    def __init__(self, strategy_path):
        self._strategy_path = strategy_path

    def load(self, scope):
        from belvane.tframe.utils.utilfunc import compile_strategy
        f = open(self._strategy_path, encoding='utf-8')
        try:
            source_code = f.read()
        finally:
            f.close()
        return compile_strategy(source_code, self._strategy_path, scope)


class SocketBase(object):
    socket_status_open = 1
    socket_status_close = 0
    socket_default_timeout = 300
    socket_default_buffer = 0xA00000

    def __init__(self, addr, port, timeout=None):
        self.server_address = (addr, port)
        self.status = self.socket_status_close
        self.data = None
        self.timeout = timeout if timeout else self.socket_default_timeout
        self.buffer_size = self.socket_default_buffer
        self.receive_buffer = memoryview(bytearray(self.buffer_size))
        self._error = None
        self.client = None

    def set_timeout(self, timeout):
        try:
            self.client.settimeout(timeout)
            self.timeout = timeout
        except (socket.error, socket.timeout):
            pass

    def get_timeout(self):
        return self.timeout

    @property
    def connected(self):
        return self.status == self.socket_status_open

    @property
    def error(self):
        e = self._error
        self._error = None
        return e

    def connect(self, retry=2):
        if self.connected:
            return True
        attempts = 0
        self._error = None
        self.client = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.client.settimeout(self.timeout)
        self.client.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 10485760)
        refused = False
        while attempts < retry:
            if refused:
                # A socket whose connect failed refuses the next one (Linux:
                # ECONNABORTED, EALREADY after a time-out): a fresh one.
                self.client.close()
                self.client = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                self.client.settimeout(self.timeout)
                self.client.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 10485760)
            try:
                refused = True
                self.client.connect(self.server_address)
                refused = False
                self.status = self.socket_status_open
                self.callback_connected()
                break
            except (socket.error, socket.timeout) as e:
                attempts += 1
                time.sleep(0.5)
                self._error = e
        return self.connected

    def disconnect(self):
        self._error = None
        try:
            if self.connected:
                self.status = self.socket_status_close
                self.client.close()
        except (socket.error, socket.timeout) as e:
            self._error = e
            self.callback_network_error(e)
            raise e
        finally:
            self.callback_disconnected()
        return not self.connected

    def reconnect(self):
        self.disconnect()
        self.connect()

    def send_data(self, data, ignore_error=False):
        self._check_connect()
        try:
            self.client.sendall(data)
        except (socket.error, socket.timeout) as e:
            self._deal_error(e, ignore_error)
        except (KeyboardInterrupt, Exception) as e:
            self._receive_garbage_data()
            raise e

    def receive_data(self, received_bytes=None, ignore_error=False, try_times=10000000):
        try:
            self.data = b''
            if isinstance(received_bytes, int):
                received_bytes = int(received_bytes)
                if received_bytes < 0:
                    return self.data
                try_counter = 0
                received_len = 0
                while try_counter < try_times:
                    tmp_buf = self.client.recv(int(received_bytes - received_len))
                    try_counter += 1
                    if tmp_buf:
                        self.data += tmp_buf
                    received_len += len(tmp_buf)
                    if received_len >= received_bytes:
                        break
                    # Empty while bytes are missing: the peer has closed.
                    if not tmp_buf:
                        break
                    time.sleep(0.005)
                self.receive_buffer[:len(self.data)] = self.data
                return self.data
            else:
                received_len = self.client.recv_into(self.receive_buffer, self.buffer_size)
                self.data = self.receive_buffer[:received_len].tobytes()
                return self.data
        except (socket.error, socket.timeout) as e:
            self._deal_error(e, ignore_error)
        except (KeyboardInterrupt, Exception) as e:
            self._receive_garbage_data()
            raise e

    def _check_connect(self):
        if not self.connected and not self.connect():
            self._deal_error(self._error)
        sysclsbase = _import_from('belvane.tframe', 'sysclsbase')
        if not sysclsbase.vr.g_BelvaneCache.allow_comm_bv:
            raise VersionError(sysclsbase.vr.g_BelvaneCache.not_allow_comm_bv_tips)

    def _deal_error(self, e, ignore_error=False):
        if isinstance(e, socket.error):
            self.status = self.socket_status_close
            time.sleep(0.2)
        if ignore_error:
            return
        self.callback_network_error(e)

    def _receive_garbage_data(self):
        self.client.recv_into(self.receive_buffer, self.buffer_size)

    def callback_connected(self):
        raise NotImplementedError

    def callback_disconnected(self):
        raise NotImplementedError

    def callback_network_error(self, e):
        raise NotImplementedError
