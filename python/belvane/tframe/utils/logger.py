import logging

_log = logging.getLogger('belvane.sys')


def write_syslog(msg, level=logging.INFO):
    _log.log(level, msg)
