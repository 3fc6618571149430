"""Target keys: the upper-cased market and code of a target, joined by a dot."""


def _key(target):
    return ("%s.%s" % (target['Market'], target['Code'])).upper()


def todotmc(x):
    """Key of one target (a mapping with Market and Code), or the list of keys
    of a whole target list, in target order."""
    if isinstance(x, dict):
        return _key(x)
    return [_key(t) for t in x]
