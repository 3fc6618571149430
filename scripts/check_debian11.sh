#!/usr/bin/env bash
# The cp39 wheel on an older system: Debian 11's own CPython 3.9.2 (glibc
# 2.31) with its own numpy 1.19.5, pandas 1.1.5, pytest 6.0.2 and hypothesis
# 5.43.3, made runnable here by ../shared/tools/debian-cpython (nothing is
# installed into this system). Debian's own pip (20.3.4) installs the
# stand-in framework and the wheel into a new environment that sees Debian's
# packages; there the modules must import, the suite must pass, and the
# demo's backtest and live cycle must print the very figures they print on
# this machine (the default python3 and its build).
#
#   bash scripts/check_debian11.sh
source "$(dirname "$0")/common.sh"
tool="$ROOT/../shared/tools/debian-cpython"
[ -f "$tool" ] || { echo "skipped: the Debian 11 check ($tool is missing)"; exit 0; }
py39=$(find_python 3.9) || { echo "no CPython 3.9 on this machine to build the cp39 wheel" >&2; exit 1; }

log "Debian 11's CPython 3.9 and its packages"
dest="$HOME/.cache/debian-cpython/bullseye-3.9-belvane"
# Debian's archive, not this project, decides whether these can be fetched:
# when they cannot, the check is skipped and says so.
if ! debian=$(DEBIAN_CPYTHON_EXTRA="python3-numpy python3-pandas python3-pandas-lib python3-dateutil
    python3-tz python3-six libblas3 liblapack3 libgfortran5 libquadmath0 python3-distutils
    python3-lib2to3 python-pip-whl python3-pytest python3-pluggy python3-py python3-attr
    python3-iniconfig python3-more-itertools python3-packaging python3-pyparsing python3-toml
    python3-hypothesis python3-sortedcontainers" bash "$tool" bullseye 3.9 "$dest" | tail -1) ||
   ! "$debian" -c 'import numpy, pandas, pytest, hypothesis' 2>/dev/null; then
    echo "skipped: the Debian 11 check (its packages could not be fetched)"
    exit 0
fi
"$debian" -c 'import os, platform; print("CPython", platform.python_version(), "on", os.confstr("CS_GNU_LIBC_VERSION"))'

build_wheel "$py39" "$BUILD_DIR/dist"
env_dir="$VENV_DIR/debian11"
rm -rf "$env_dir"
"$debian" -m venv --without-pip --system-site-packages "$env_dir"
# Debian's pip comes unbundled: its libraries are wheels beside it.
debian_pip=$(ls "$dest"/usr/share/python-wheels/*.whl | tr '\n' ':')
standins=$("$env_dir/bin/python" "$ROOT/scripts/pack_wheel.py" standins "$BUILD_DIR/standins-debian11")
log "Installing $(basename "$WHEEL") with $(PYTHONPATH="$debian_pip" "$env_dir/bin/python" -m pip -V | cut -d' ' -f1-2)"
PYTHONPATH="$debian_pip" "$env_dir/bin/python" -m pip install -q --no-index --no-deps "$standins" "$WHEEL"

log "Tests on Debian 11 against the installed wheel"
(cd "$ROOT" && env -u PYTHONPATH BELVANE_WHEEL="$WHEEL" "$env_dir/bin/python" -c '
import numpy, pandas, pytest, hypothesis
print("numpy", numpy.__version__, "pandas", pandas.__version__, "pytest", pytest.__version__,
      "hypothesis", hypothesis.__version__)' &&
 env -u PYTHONPATH BELVANE_WHEEL="$WHEEL" "$env_dir/bin/python" -m pytest -p no:cacheprovider -q "$ROOT/tests")

log "The backtest and the live cycle, here and on Debian 11"
figures='from belvane.demo import backtest, live
backtest.run()
print()
live.run()'
build default "$VENV_DIR/default/bin/python" > /dev/null
PYTHONPATH="$BUILD_DIR/default/site" "$VENV_DIR/default/bin/python" -c "$figures" > "$BUILD_DIR/figures-here.txt"
env -u PYTHONPATH "$env_dir/bin/python" -c "$figures" > "$BUILD_DIR/figures-debian11.txt"
if diff -u "$BUILD_DIR/figures-here.txt" "$BUILD_DIR/figures-debian11.txt"; then
    echo "the same $(wc -l < "$BUILD_DIR/figures-here.txt") lines of figures on $("$VENV_DIR/default/bin/python" -V 2>&1) here and on Debian 11's $("$debian" -V 2>&1)"
else
    echo "the figures differ" >&2
    exit 1
fi
