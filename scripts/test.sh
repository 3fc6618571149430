#!/usr/bin/env bash
# Builds the modules and runs the test suite on the default python3 and on
# CPython 3.6. Extra arguments go to pytest.
source "$(dirname "$0")/common.sh"
mkdir -p "$BUILD_DIR"
ran=()
skipped=()

run_suite() {
    local tag=$1 python=$2; shift 2
    log "Tests on $("$python" -V 2>&1) ($tag)"
    PYTHONPATH="$BUILD_DIR/$tag/site" "$python" -m pytest -p no:cacheprovider "$ROOT/tests" "$@"
    ran+=("$("$python" -V 2>&1)")
}

ensure_default_venv
build default "$VENV_DIR/default/bin/python"
run_suite default "$VENV_DIR/default/bin/python" "$@"

# The same suite against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer; any report aborts the interpreter and fails the
# run. Python's own allocator is bypassed so that ASan sees every object.
# pytest must leave file descriptor 2 alone (--capture=sys): its default
# capture swallows a report that kills the interpreter, and an undefined-
# behaviour report would then end the run with status 1 and no output.
if [ "${BELVANE_SKIP_SANITIZERS:-0}" != 1 ]; then
    build asan "$VENV_DIR/default/bin/python" -DBELVANE_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
    log "Tests under AddressSanitizer and UndefinedBehaviorSanitizer ($("$VENV_DIR/default/bin/python" -V 2>&1))"
    LD_PRELOAD="$(g++ -print-file-name=libasan.so)" \
    ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:halt_on_error=1" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:abort_on_error=1" \
    PYTHONMALLOC=malloc PYTHONPATH="$BUILD_DIR/asan/site" \
        "$VENV_DIR/default/bin/python" -m pytest -p no:cacheprovider --capture=sys -q "$ROOT/tests" "$@"
    ran+=("$("$VENV_DIR/default/bin/python" -V 2>&1) with sanitizers")
fi

# The same suite against a build that uses only the public C API: every
# CPython internal of native/runtime/internals.hpp takes its fallback.
build portable "$VENV_DIR/default/bin/python" -DBELVANE_PORTABLE=ON
run_suite portable "$VENV_DIR/default/bin/python" -q "$@"
ran[${#ran[@]}-1]="${ran[${#ran[@]}-1]} with only the public C API"

log "Wheel through the Python build front end (scikit-build-core)"
rm -rf "$BUILD_DIR/wheel"
"$VENV_DIR/default/bin/python" -m pip wheel "$ROOT" -q --no-build-isolation --no-deps \
    -w "$BUILD_DIR/wheel" 2> >(grep -v "is ignored: it is neither" >&2)
"$VENV_DIR/default/bin/python" -m pip install -q --no-deps --target "$BUILD_DIR/wheel/site" \
    "$BUILD_DIR"/wheel/*.whl 2> >(grep -v "is ignored: it is neither" >&2)
PYTHONPATH="$BUILD_DIR/wheel/site" "$VENV_DIR/default/bin/python" -c '
import belvane.tframe.utils.sorvel, belvane.backtest.model.positions, belvane.realtrade.model.accounts
print("the wheel installs and its three modules import")'

if py36=$(find_python36); then
    ensure_venv py36 "$py36" "$ROOT/requirements/py36.txt"
    build py36 "$VENV_DIR/py36/bin/python"
    run_suite py36 "$VENV_DIR/py36/bin/python" "$@"
else
    echo "CPython 3.6 was not found on this machine: its test run is skipped."
    skipped+=("CPython 3.6 (not installed)")
fi

log "Summary"
for r in "${ran[@]}"; do echo "passed on $r"; done
for s in "${skipped[@]+"${skipped[@]}"}"; do echo "skipped: $s"; done
