#!/usr/bin/env bash
# The release: one wheel per interpreter, and the source distribution, in dist/.
#
#   bash scripts/wheels.sh [PYTHON ...]
#
# Builds a wheel for each named interpreter (every CPython 3.6 to 3.15 found,
# see find_python in scripts/common.sh, when none is named). Each is tagged
# manylinux_2_17_x86_64 (manylinux2014), must be consistent with that by
# auditwheel show, and is installed by its interpreter's own pip into a new
# environment beside the stand-in framework, where the suite runs against it.
# Then the sdist is built and installed, with build isolation, into a new
# environment of the oldest interpreter its build back end runs on (3.7),
# and its modules are imported there.
source "$(dirname "$0")/common.sh"
DIST="$ROOT/dist"
ensure_default_venv

pythons=("$@")
if [ ${#pythons[@]} = 0 ]; then
    for minor in 6 7 8 9 10 11 12 13 14 15; do
        if py=$(find_python "3.$minor"); then pythons+=("$py"); fi
    done
fi

# status_of CMD...: runs CMD in a subshell that stops at its first failure
# and leaves its status in RC (inside an if or after || bash would not stop).
status_of() { set +e; ( set -e; "$@" ); RC=$?; set -e; }

one_wheel() { build_wheel "$1" "$DIST"; test_wheel "$1" "$WHEEL" -q; }

# The sdist builds in isolation: pip fetches its build requirements.
from_sdist() {
    local python=$1 env_dir
    env_dir="$VENV_DIR/sdist-$(py_tag "$python")"
    log "Installing $(basename "$SDIST") from source ($("$python" -V 2>&1))"
    make_venv "$env_dir" "$python"
    pip_in "$env_dir" install -q "$SDIST"
    pip_in "$env_dir" install -q --no-index \
        "$("$env_dir/bin/python" "$ROOT/scripts/pack_wheel.py" standins "$BUILD_DIR/standins-sdist")"
    "$env_dir/bin/python" -c '
import belvane.tframe.utils.sorvel, belvane.backtest.model.positions, belvane.realtrade.model.accounts
print("the three modules built from the sdist import")'
}

status=0
results=()
for py in "${pythons[@]}"; do
    version=$("$py" -V 2>&1)
    status_of one_wheel "$py"
    if [ $RC = 0 ]; then
        results+=("$version: $(basename "$DIST"/belvane_core-*-"$(py_tag "$py")"-*.whl) passed")
    else
        results+=("$version: FAILED")
        status=1
    fi
done

build_sdist "$DIST"
sdist_python=$(find_python 3.7 || default_python)
status_of from_sdist "$sdist_python"
if [ $RC = 0 ]; then
    results+=("$(basename "$SDIST") on $("$sdist_python" -V 2>&1): built in isolation, modules import")
else
    results+=("$(basename "$SDIST") on $("$sdist_python" -V 2>&1): FAILED")
    status=1
fi

log "Summary"
printf '%s\n' "${results[@]}"
exit $status
