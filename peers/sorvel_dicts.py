"""Pure-Python peer of the toolkit's dot-access dictionaries."""
from collections import OrderedDict


def get_cur_mac_address():
    import uuid
    node = uuid.getnode()
    mac = uuid.UUID(int=node).hex[-12:].upper()
    return '-'.join(mac[i:i + 2] for i in range(0, 12, 2))


class DotDict(dict):
    def __init__(self, _dict=None):
        if not _dict:
            _dict = {}
        super(DotDict, self).__init__(_dict)

    def __setattr__(self, key, value):
        self[key] = value

    def __getattr__(self, item):
        try:
            return self[item]
        except KeyError:
            return super(DotDict, self).__getattribute__(item)

    def __str__(self):
        lines = ['DotDict{']
        for k, v in self.items():
            lines.append('\t{!r}:{!r},'.format(k, v))
        lines.append('}')
        return '\n'.join(lines)


class OrderedDotDict(OrderedDict):
    def __init__(self, _dict=None):
        if not _dict:
            _dict = {}
        super(OrderedDotDict, self).__init__(_dict)

    def __setattr__(self, key, value):
        self[key] = value

    def __getattr__(self, item):
        try:
            return self[item]
        except KeyError:
            return super(OrderedDotDict, self).__getattribute__(item)

    def __str__(self):
        lines = [''] * (len(self.items()) + 2)
        lines[0] = 'OrderedDotDict{'
        for i, k in enumerate(self.keys(), 1):
            lines[i] = '\t{!r}:{!r},'.format(k, self[k])
        lines[-1] = '}'
        return '\n'.join(lines)
