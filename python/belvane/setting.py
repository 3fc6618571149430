"""Framework settings.

Each setting has a default here; an environment variable named
``BELVANE_<NAME>`` overrides it. The variable's text is read as a Python
literal where it is one (``BELVANE_PRECISION_LEVEL=2`` gives the int 2) and
kept as text otherwise.
"""
import ast
import os

DEFAULTS = {
    'PRECISION_LEVEL': 3,
}


def get_setting(name, default=None):
    raw = os.environ.get('BELVANE_' + name)
    if raw is not None:
        try:
            return ast.literal_eval(raw)
        except (ValueError, SyntaxError):
            return raw
    return DEFAULTS.get(name, default)
