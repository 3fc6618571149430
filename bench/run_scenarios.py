"""Runs the whole-run scenarios (bench/scenarios/) as separate processes on
this interpreter and prints one table.

    python bench/run_scenarios.py [--compiled-dir DIR] [--json FILE] [--runs N] [--quick] [-k TEXT]

Each run of a scenario is a new process per implementation (native, peer,
Cython peer), in turn, each round starting with the next implementation.
A run's wall time and peak resident memory come from the driver (os.wait4);
the digests the runs print must all be equal.
"""
import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))

from bench import harness  # noqa: E402

# (name, script under bench/scenarios)
SCENARIOS = [('backtest', 'backtest.py'), ('live session', 'live.py')]
IMPLS = ('native', 'peer', 'cython')
# Wanted ratio of each implementation's seconds to native's.
TARGETS = {'peer': 2.0, 'cython': 1.6}


def exit_code(status):
    if os.WIFSIGNALED(status):
        return -os.WTERMSIG(status)
    return os.WEXITSTATUS(status)


def child_env():
    env = dict(os.environ)
    # numpy's BLAS threads spin on the other core after each use.
    env.setdefault('OPENBLAS_NUM_THREADS', '1')
    # Every run does the same work, down to the order of set iteration.
    env['PYTHONHASHSEED'] = '0'
    return env


def run_once(script, impl, compiled_dir, env):
    """One whole process: wall seconds, its max RSS, and what it printed."""
    cmd = [sys.executable, os.path.join(HERE, 'scenarios', script), impl]
    if compiled_dir:
        cmd += ['--compiled-dir', compiled_dir]
    t0 = time.perf_counter()
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, env=env)
    out = proc.stdout.read()
    # wait4 rather than wait: the rusage of this child alone.
    _, status, usage = os.wait4(proc.pid, 0)
    seconds = time.perf_counter() - t0
    proc.returncode = exit_code(status)
    proc.stdout.close()
    run = {'seconds': seconds, 'cpu_seconds': usage.ru_utime + usage.ru_stime,
           'maxrss_kb': usage.ru_maxrss, 'returncode': proc.returncode}
    if proc.returncode == 0:
        try:
            run['result'] = json.loads(out.decode('utf-8').strip().splitlines()[-1])
        except (ValueError, IndexError):
            run['returncode'] = 'no result line'
    return run


def measure(name, script, impls, runs, compiled_dir):
    env = child_env()
    per_impl = {impl: [] for impl in impls}
    failed = {}
    for r in range(runs):
        shift = r % len(impls)
        for impl in impls[shift:] + impls[:shift]:
            if impl in failed:
                continue
            run = run_once(script, impl, compiled_dir, env)
            if run['returncode'] != 0:
                failed[impl] = 'exit status %s' % run['returncode']
                print('  %s %s run %d failed: %s' % (name, impl, r + 1, failed[impl]),
                      file=sys.stderr)
                continue
            per_impl[impl].append(run)
            print('  %s %-6s run %d: %.2f s, max RSS %.1f MiB' % (
                name, impl, r + 1, run['seconds'], run['maxrss_kb'] / 1024.0), file=sys.stderr)
    result = {'scenario': name, 'runs': per_impl, 'failed': failed}
    digests = sorted({run['result']['digest'] for runs_ in per_impl.values() for run in runs_})
    result['digests'] = {impl: sorted({run['result']['digest'] for run in per_impl[impl]})
                         for impl in impls}
    result['digests_agree'] = len(digests) == 1 and not failed
    for impl in impls:
        rs = per_impl[impl]
        if not rs:
            result[impl] = None
            continue
        phases = {}
        for run in rs:
            for phase, sec in run['result']['phases']:
                phases.setdefault(phase, []).append(sec)
        result[impl] = {
            'seconds': statistics.median(run['seconds'] for run in rs),
            'cpu_seconds': statistics.median(run['cpu_seconds'] for run in rs),
            'maxrss_kb': statistics.median(run['maxrss_kb'] for run in rs),
            'phases': [(phase, statistics.median(s)) for phase, s in phases.items()],
        }
    return result


def verdicts(r):
    """Per target, 'met' or 'NOT met' (None when it cannot be judged)."""
    out = []
    nat = r.get('native')
    for impl in ('peer', 'cython'):
        other = r.get(impl)
        if not nat or not other or not r['digests_agree']:
            out.append(None)
        else:
            out.append(other['seconds'] / nat['seconds'] >= TARGETS[impl])
    peer = r.get('peer')
    out.append(None if not nat or not peer else nat['maxrss_kb'] <= peer['maxrss_kb'])
    return out


def print_table(doc):
    print('CPython %s, whole runs: median of %d interleaved runs per implementation '
          '(every run in the JSON)' % (doc['python'], doc['runs']))
    head = ('scenario', 'native s', 'peer s', 'cython s', 'peer/nat', 'cy/nat', 'RSS native',
            'RSS peer', 'RSS cython', 'peer >= %.1fx' % TARGETS['peer'],
            'cy >= %.1fx' % TARGETS['cython'], 'RSS <= peer')
    rows = []
    for r in doc['scenarios']:
        def sec(impl):
            return '%.2f' % r[impl]['seconds'] if r.get(impl) else '-'

        def rss(impl):
            return '%.1f MiB' % (r[impl]['maxrss_kb'] / 1024.0) if r.get(impl) else '-'

        def ratio(impl):
            if not r.get(impl) or not r.get('native'):
                return '-'
            return '%.2fx' % (r[impl]['seconds'] / r['native']['seconds'])
        rows.append((r['scenario'], sec('native'), sec('peer'), sec('cython'), ratio('peer'),
                     ratio('cython'), rss('native'), rss('peer'), rss('cython'))
                    + tuple('-' if v is None else ('met' if v else 'NOT met')
                            for v in verdicts(r)))
    harness.print_columns(head, rows)
    print()
    print('Results: one digest per scenario over every run and implementation')
    for r in doc['scenarios']:
        if r['digests_agree']:
            print('  %-12s %s' % (r['scenario'], r['digests']['native'][0]
                                  if r['digests'].get('native') else '-'))
        else:
            print('  %-12s DIFFER: %s%s' % (r['scenario'], ', '.join(
                '%s %s' % (impl, '/'.join(d) or '-') for impl, d in r['digests'].items()),
                ''.join('; %s failed (%s)' % f for f in r['failed'].items())))
    print()
    print('Median CPU seconds of a run (user + system; less disturbed by other load than wall time)')
    for r in doc['scenarios']:
        nat = r.get('native')
        print('  %-12s %s' % (r['scenario'], '  '.join(
            '%s %.2f%s' % (impl, r[impl]['cpu_seconds'], '' if impl == 'native' or not nat else
                           ' (%.2fx)' % (r[impl]['cpu_seconds'] / nat['cpu_seconds']))
            for impl in IMPLS if r.get(impl))))
    print()
    print('Median seconds per phase inside the process (the rest of a run is start-up and exit)')
    for r in doc['scenarios']:
        for impl in IMPLS:
            if r.get(impl):
                print('  %-12s %-6s %s' % (r['scenario'], impl, '  '.join(
                    '%s %.2f' % tuple(p) for p in r[impl]['phases'])))


def main(argv=None):
    ap = argparse.ArgumentParser()
    ap.add_argument('--json')
    ap.add_argument('--compiled-dir')
    ap.add_argument('--runs', type=int, help='runs per implementation (default 5, 3 with --quick)')
    ap.add_argument('--quick', action='store_true', help='fewer runs')
    ap.add_argument('-k', dest='keyword', help='only scenarios whose name contains this')
    args = ap.parse_args(argv)
    runs = args.runs or (3 if args.quick else 5)
    impls = IMPLS if args.compiled_dir else IMPLS[:2]
    chosen = [s for s in SCENARIOS if not args.keyword or args.keyword in s[0]]
    if not chosen:
        print('no scenario matches %r' % args.keyword, file=sys.stderr)
        return 0
    doc = {
        'python': platform.python_version(),
        'implementation': platform.python_implementation(),
        'machine': platform.machine(),
        'runs': runs,
        'targets': TARGETS,
        'scenarios': [measure(name, script, list(impls), runs, args.compiled_dir)
                      for name, script in chosen],
    }
    if args.json:
        with open(args.json, 'w') as f:
            json.dump(doc, f, indent=1)
    print()
    print_table(doc)
    return 0 if all(r['digests_agree'] for r in doc['scenarios']) else 1


if __name__ == '__main__':
    sys.exit(main())
