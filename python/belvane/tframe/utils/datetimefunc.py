"""The framework's numeric time stamps.

A time stamp is the number YYYYMMDDHHMMSSmmm: the local date and time down to
the millisecond written as one 17-digit integer (a float holding such an
integer is accepted). 20240501093000123 is 1 May 2024, 09:30:00.123.
"""
import datetime


def _one(stamp):
    value = int(stamp)
    if value < 0:
        raise ValueError('negative time stamp: %r' % (stamp,))
    ms = value % 1000
    value //= 1000
    second = value % 100
    value //= 100
    minute = value % 100
    value //= 100
    hour = value % 100
    value //= 100
    day = value % 100
    value //= 100
    month = value % 100
    year = value // 100
    return datetime.datetime(year, month, day, hour, minute, second, ms * 1000)


def mft_to_datetime(values):
    """Converts a sequence of time stamps into a list of datetime values."""
    return [_one(v) for v in values]


def datetime_to_mft(dt):
    """The time stamp of a datetime value (the inverse of the above)."""
    return int(dt.strftime('%Y%m%d%H%M%S')) * 1000 + dt.microsecond // 1000
