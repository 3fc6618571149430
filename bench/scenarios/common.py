"""What the whole-run scenarios share: the implementation a run uses, the
clock of its phases and the result line the driver reads.

A scenario runs as its own process:

    python bench/scenarios/<scenario>.py {native,peer,cython} [--compiled-dir DIR]

and ends by printing one JSON line: its digest of what it computed (equal
for every implementation, or one of them computed something else), the
seconds of each phase and its peak resident memory.
"""
import argparse
import hashlib
import importlib
import json
import os
import platform
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

IMPLS = ('native', 'peer', 'cython')

# The native module standing for each peer (peers/<name>.py); the Cython
# build of a peer is cy_<name>.
NATIVE = {
    'sorvel_dicts': 'belvane.tframe.utils.sorvel',
    'sorvel_stats': 'belvane.tframe.utils.sorvel',
    'positions': 'belvane.backtest.model.positions',
    'accounts': 'belvane.realtrade.model.accounts',
}


def parse_args(argv=None):
    ap = argparse.ArgumentParser()
    ap.add_argument('impl', choices=IMPLS)
    ap.add_argument('--compiled-dir', help='where the Cython-compiled peers (cy_<peer>) are')
    return ap.parse_args(argv)


def modules(impl, names, compiled_dir=None):
    """The modules of one implementation, by peer name."""
    # The same search path for every implementation.
    sys.path.insert(0, os.path.join(ROOT, 'peers'))
    if compiled_dir:
        sys.path.insert(0, compiled_dir)
    if impl == 'native':
        mods = {n: importlib.import_module(NATIVE[n]) for n in names}
    else:
        prefix = 'cy_' if impl == 'cython' else ''
        mods = {n: importlib.import_module(prefix + n) for n in names}
        # The account peer imports the native OrderedDotDict for its position
        # template, as the native module does; a run of the peers uses the
        # peers' own (a module global, read at every use).
        if 'accounts' in mods and 'sorvel_dicts' in mods:
            mods['accounts'].OrderedDotDict = mods['sorvel_dicts'].OrderedDotDict
    return mods


class Phases(object):
    """Seconds spent in each named phase of a run, in order."""

    def __init__(self):
        self.start = self.last = time.perf_counter()
        self.seconds = []

    def lap(self, name):
        now = time.perf_counter()
        self.seconds.append((name, now - self.last))
        self.last = now


def digest(*parts):
    """A short hash of the reprs of `parts` (bytes are hashed as they are)."""
    h = hashlib.sha256()
    for p in parts:
        h.update(p if isinstance(p, bytes) else repr(p).encode('utf-8'))
        h.update(b'\0')
    return h.hexdigest()[:16]


def peak_rss_kb():
    """This process's own peak resident memory (VmHWM), in KiB."""
    try:
        with open('/proc/self/status') as f:
            for line in f:
                if line.startswith('VmHWM:'):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def report(scenario, impl, result_digest, phases, summary):
    print(json.dumps({
        'scenario': scenario,
        'impl': impl,
        'python': platform.python_version(),
        'digest': result_digest,
        'phases': phases.seconds,
        'seconds_in_process': time.perf_counter() - phases.start,
        'vmhwm_kb': peak_rss_kb(),
        'summary': summary,
    }))
    sys.stdout.flush()
