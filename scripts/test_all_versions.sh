#!/usr/bin/env bash
# Builds the modules and runs the test suite on every CPython 3.7 to 3.15
# found (pyenv, the PATH, Debian's from ../shared/tools/debian-cpython: see
# find_python in scripts/common.sh), or on the interpreters named by path:
#
#   bash scripts/test_all_versions.sh [PYTHON ...] [pytest arguments]
#
# 3.6 and the default python3 are what scripts/test.sh covers. Slow: one
# virtual environment per interpreter.
source "$(dirname "$0")/common.sh"

pythons=()
while [ $# -gt 0 ] && [ -f "$1" ] && [ -x "$1" ]; do pythons+=("$1"); shift; done
if [ ${#pythons[@]} = 0 ]; then
    for minor in 7 8 9 10 11 12 13 14 15; do
        if py=$(find_python "3.$minor"); then pythons+=("$py")
        else echo "CPython 3.$minor was not found on this machine: skipped."; fi
    done
fi

# status_of CMD...: runs CMD in a subshell that stops at its first failure
# and leaves its status in RC (inside an if or after || bash would not stop).
status_of() { set +e; ( set -e; "$@" ); RC=$?; set -e; }

status=0
results=()
for py in "${pythons[@]}"; do
    status_of tree_suite "$py" "$ROOT/tests" "$@"
    if [ $RC = 0 ]; then results+=("$("$py" -V 2>&1) ($py): passed")
    else results+=("$("$py" -V 2>&1) ($py): FAILED"); status=1; fi
done
log "Summary"
printf '%s\n' "${results[@]}"
exit $status
