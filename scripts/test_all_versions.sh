#!/usr/bin/env bash
# Builds the modules and runs the test suite on every CPython 3.7 to 3.13
# found under pyenv (3.6 and the default python3 are what scripts/test.sh
# covers). Slow: one virtual environment per interpreter.
source "$(dirname "$0")/common.sh"
mkdir -p "$BUILD_DIR"
status=0
results=()
for minor in 7 8 9 10 11 12 13; do
    py=""
    for c in "$(pyenv root 2>/dev/null)"/versions/3.$minor.*/bin/python3.$minor \
             "$(command -v python3.$minor 2>/dev/null)"; do
        if [ -n "$c" ] && [ -x "$c" ]; then py=$c; break; fi
    done
    if [ -z "$py" ]; then results+=("3.$minor: not installed"); continue; fi
    ensure_venv "py3$minor" "$py" "$ROOT/requirements/other-versions.txt"
    build "py3$minor" "$VENV_DIR/py3$minor/bin/python"
    log "Tests on $("$py" -V 2>&1)"
    if PYTHONPATH="$BUILD_DIR/py3$minor/site" "$VENV_DIR/py3$minor/bin/python" -m pytest \
            -p no:cacheprovider -q "$ROOT/tests" "$@"; then
        results+=("$("$py" -V 2>&1): passed")
    else
        results+=("$("$py" -V 2>&1): FAILED")
        status=1
    fi
done
log "Summary"
printf '%s\n' "${results[@]}"
exit $status
