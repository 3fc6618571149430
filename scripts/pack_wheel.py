"""Packs a directory tree into a wheel (METADATA, WHEEL and RECORD written
here), for what the build front end cannot make:

    pack_wheel.py modules STAGE OUT --python PY --platform TAG[.TAG...]
        the release wheel of the modules staged in STAGE for interpreter PY
        (CMake's "modules" component: the three modules, their stubs and
        typing markers), metadata from pyproject.toml
    pack_wheel.py standins OUT
        python/belvane, the framework stand-ins and the demo, as a pure
        distribution of its own (belvane-standins): what the modules'
        wheel is installed beside in the tests

Prints the wheel's path. Runs on CPython 3.6 and later.
"""
import argparse
import base64
import csv
import hashlib
import io
import json
import os
import re
import subprocess
import sys
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# Zip entries carry this time stamp, so that the same files give the same wheel.
EPOCH = (1980, 1, 1, 0, 0, 0)


def normalized(name):
    return re.sub(r'[-_.]+', '_', name).lower()


def record_hash(data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b'=')
    return 'sha256=' + digest.decode('ascii')


def tree_files(top, skip=lambda rel: False):
    """(path in the wheel, path on disk) of every file under top, sorted."""
    out = []
    for dirpath, dirnames, filenames in os.walk(top):
        dirnames[:] = [d for d in dirnames if d != '__pycache__']
        for f in filenames:
            full = os.path.join(dirpath, f)
            rel = os.path.relpath(full, top).replace(os.sep, '/')
            if not skip(rel):
                out.append((rel, full))
    return sorted(out)


def write_wheel(out_dir, name, version, tags, metadata, files, purelib):
    """files: (path in the wheel, path on disk). The dist-info goes last, RECORD
    at its end, as the wheel format recommends."""
    dist = '%s-%s' % (normalized(name), version)
    info = dist + '.dist-info'
    wheel_meta = ['Wheel-Version: 1.0', 'Generator: belvane pack_wheel',
                  'Root-Is-Purelib: %s' % ('true' if purelib else 'false')]
    wheel_meta += ['Tag: %s' % t for t in tags]
    # The file name holds the compressed tag set: each of the three parts
    # lists its values, e.g. cp36-cp36m-manylinux_2_17_x86_64.manylinux2014_x86_64.
    parts = [[], [], []]
    for tag in tags:
        for part, value in zip(parts, tag.split('-')):
            if value not in part:
                part.append(value)
    filename = '%s-%s.whl' % (dist, '-'.join('.'.join(p) for p in parts))
    path = os.path.join(out_dir, filename)
    os.makedirs(out_dir, exist_ok=True)
    entries = []
    for rel, full in files:
        with open(full, 'rb') as fh:
            entries.append((rel, fh.read(), os.stat(full).st_mode & 0o777))
    entries.append((info + '/METADATA', metadata.encode('utf-8'), 0o644))
    entries.append((info + '/WHEEL', ('\n'.join(wheel_meta) + '\n').encode('utf-8'), 0o644))
    record = io.StringIO()
    writer = csv.writer(record, lineterminator='\n')
    for rel, data, _ in entries:
        writer.writerow([rel, record_hash(data), len(data)])
    writer.writerow([info + '/RECORD', '', ''])
    entries.append((info + '/RECORD', record.getvalue().encode('utf-8'), 0o644))
    tmp = path + '.part'
    with zipfile.ZipFile(tmp, 'w', zipfile.ZIP_DEFLATED) as zf:
        for rel, data, mode in entries:
            zi = zipfile.ZipInfo(rel, EPOCH)
            zi.external_attr = ((0o755 if mode & 0o111 else 0o644) | 0o100000) << 16
            zi.compress_type = zipfile.ZIP_DEFLATED
            zf.writestr(zi, data)
    os.replace(tmp, path)
    return path


def read_pyproject():
    try:
        import tomllib as toml
    except ImportError:
        import tomli as toml
    with open(os.path.join(ROOT, 'pyproject.toml'), 'rb') as fh:
        return toml.load(fh)['project']


def modules_metadata(project):
    lines = ['Metadata-Version: 2.1', 'Name: ' + project['name'], 'Version: ' + project['version'],
             'Summary: ' + project['description'],
             'Requires-Python: ' + project['requires-python']]
    lines += ['Classifier: ' + c for c in project.get('classifiers', [])]
    lines += ['Requires-Dist: ' + d for d in project.get('dependencies', [])]
    for extra, reqs in sorted(project.get('optional-dependencies', {}).items()):
        lines.append('Provides-Extra: ' + extra)
        lines += ['Requires-Dist: %s; extra == "%s"' % (r, extra) for r in reqs]
    readme = project.get('readme')
    body = ''
    if readme:
        lines.append('Description-Content-Type: text/markdown')
        with open(os.path.join(ROOT, readme), encoding='utf-8') as fh:
            body = '\n' + fh.read()
    return '\n'.join(lines) + '\n' + body


def interpreter_tags(python):
    """The interpreter and ABI tags of python, and its extension suffix."""
    code = ('import json, sys, sysconfig; print(json.dumps([sys.implementation.name, '
            'sys.version_info[0], sys.version_info[1], sysconfig.get_config_var("SOABI"), '
            'sysconfig.get_config_var("EXT_SUFFIX")]))')
    impl, major, minor, soabi, suffix = json.loads(
        subprocess.check_output([python, '-c', code], universal_newlines=True))
    if impl != 'cpython' or not soabi or not soabi.startswith('cpython-'):
        raise SystemExit('%s is not a CPython with an ABI tag (SOABI %r)' % (python, soabi))
    return 'cp%d%d' % (major, minor), 'cp' + soabi.split('-')[1], suffix


def pack_modules(args):
    project = read_pyproject()
    interp, abi, suffix = interpreter_tags(args.python)
    files = tree_files(args.stage)
    modules = [rel for rel, _ in files if rel.endswith('.so')]
    if len(modules) != 3 or any(not m.endswith(suffix) for m in modules):
        raise SystemExit('expected the three modules built for %s (%s) in %s, found %s'
                         % (args.python, suffix, args.stage, modules))
    tags = ['%s-%s-%s' % (interp, abi, plat) for plat in args.platform.split('.')]
    return write_wheel(args.out, project['name'], project['version'], tags,
                       modules_metadata(project), files, purelib=False)


def pack_standins(args):
    top = os.path.join(ROOT, 'python')
    files = tree_files(top, skip=lambda rel: rel.endswith(('.so', '.pyc')))
    metadata = '\n'.join([
        'Metadata-Version: 2.1', 'Name: belvane-standins', 'Version: 0.1.0',
        'Summary: Stand-ins for the belvane framework services, and the demo',
        'Requires-Python: >=3.6']) + '\n'
    return write_wheel(args.out, 'belvane-standins', '0.1.0', ['py3-none-any'], metadata, files,
                       purelib=True)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    sub = parser.add_subparsers(dest='what')
    sub.required = True
    m = sub.add_parser('modules')
    m.add_argument('stage')
    m.add_argument('out')
    m.add_argument('--python', required=True)
    m.add_argument('--platform', required=True)
    s = sub.add_parser('standins')
    s.add_argument('out')
    args = parser.parse_args(argv)
    print(pack_modules(args) if args.what == 'modules' else pack_standins(args))


if __name__ == '__main__':
    main()
