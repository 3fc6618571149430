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
