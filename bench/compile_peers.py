"""Compiles each pure-Python peer with Cython into OUTDIR as cy_<peer>.

    python bench/compile_peers.py OUTDIR

A peer that does not compile is reported and left out; the table then says
"not available" for it.
"""
import os
import shutil
import subprocess
import sys

PEERS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), 'peers')


def main(outdir):
    srcdir = os.path.join(outdir, 'src')
    os.makedirs(srcdir, exist_ok=True)
    peers = sorted(f[:-3] for f in os.listdir(PEERS)
                   if f.endswith('.py') and not f.startswith('_'))
    for peer in peers:
        # The sources stay out of OUTDIR, so that a failed build cannot leave
        # an importable pure-Python cy_<peer> behind.
        src = os.path.join(srcdir, 'cy_%s.py' % peer)
        shutil.copyfile(os.path.join(PEERS, peer + '.py'), src)
        cmd = [sys.executable, '-m', 'cython', '-3', src, '-o', src[:-3] + '.c']
        build = [sys.executable, '-c', SETUP, src[:-3] + '.c', outdir]
        try:
            subprocess.check_call(cmd)
            subprocess.check_call(build, stdout=subprocess.DEVNULL)
            print('compiled %s' % peer)
        except (subprocess.CalledProcessError, OSError) as e:
            print('not compiled %s: %s' % (peer, e), file=sys.stderr)
    return 0


# Builds one C file into an extension module next to it, with the
# interpreter's own compiler settings.
SETUP = r'''
import os, sys
from setuptools import Extension
from setuptools.dist import Distribution
c, outdir = sys.argv[1], sys.argv[2]
name = os.path.basename(c)[:-2]
dist = Distribution({'ext_modules': [Extension(name, [c], extra_compile_args=['-O2'])]})
cmd = dist.get_command_obj('build_ext')
cmd.build_lib = outdir
cmd.build_temp = os.path.join(outdir, 'tmp')
cmd.inplace = False
cmd.ensure_finalized()
cmd.run()
'''

if __name__ == '__main__':
    sys.exit(main(sys.argv[1]))
