#!/usr/bin/env bash
# Builds the modules and runs the test suite: against the installed release
# wheel on the default python3, on CPython 3.6 and on CPython 3.15 where one
# is found; from build trees with sanitizers, with only the public C API and
# on CPython 3.12 where one is found.
# Extra arguments go to pytest.
source "$(dirname "$0")/common.sh"
ran=()
skipped=()

ensure_default_venv
default=$(default_python)

# wheel_suite PYTHON [pytest arguments]: the release wheel for PYTHON, built,
# checked by auditwheel, installed beside the stand-in framework into a new
# environment, and the suite against it.
wheel_suite() {
    local python=$1; shift
    build_wheel "$python" "$BUILD_DIR/dist"
    test_wheel "$python" "$WHEEL" "$@"
    ran+=("$("$python" -V 2>&1) from its installed wheel")
}

wheel_suite "$default" "$@"
default_wheel=$WHEEL

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
log "Tests on $("$VENV_DIR/default/bin/python" -V 2>&1) with only the public C API"
PYTHONPATH="$BUILD_DIR/portable/site" "$VENV_DIR/default/bin/python" -m pytest -p no:cacheprovider \
    -q "$ROOT/tests" "$@"
ran+=("$("$VENV_DIR/default/bin/python" -V 2>&1) with only the public C API")

# The source distribution, and the wheel the build front end makes of it,
# hold what the release wheel holds.
build_sdist "$BUILD_DIR/dist"
log "Wheel of $(basename "$SDIST") through the build front end (scikit-build-core)"
rm -rf "$BUILD_DIR/frontend"
pip_in "$VENV_DIR/default" wheel -q --no-build-isolation --no-deps -w "$BUILD_DIR/frontend" "$SDIST"
"$VENV_DIR/default/bin/python" - "$BUILD_DIR"/frontend/*.whl "$default_wheel" <<'EOF'
import sys, zipfile
def payload(path):
    return sorted(n for n in zipfile.ZipFile(path).namelist() if '.dist-info/' not in n)
front, release = payload(sys.argv[1]), payload(sys.argv[2])
assert front == release, (front, release)
print('the front end wheel of the sdist holds the release wheel\'s %d files' % len(front))
EOF

if py36=$(find_python36); then
    wheel_suite "$py36" "$@"
else
    echo "CPython 3.6 was not found on this machine: its test run is skipped."
    skipped+=("CPython 3.6 (not installed)")
fi

# CPython 3.7, like 3.6, aborts when a RecursionError is swallowed: the
# recursion-limit check runs there too (the whole suite runs on 3.7 in
# scripts/test_all_versions.sh).
if py37=$(find_python 3.7); then
    tree_suite "$py37" "$ROOT/tests/test_recursion_limit.py"
    ran+=("$("$py37" -V 2>&1): the recursion-limit check")
else
    echo "CPython 3.7 was not found on this machine: its recursion-limit check is skipped."
    skipped+=("CPython 3.7 recursion-limit check (not installed)")
fi

# The current release: .ci/run fetches Debian's own 3.15 when the machine has
# none (scripts/common.sh: find_python says where it is looked for).
if py315=$(find_python 3.15); then
    wheel_suite "$py315" -q "$@"
else
    echo "CPython 3.15 was not found on this machine: its test run is skipped."
    skipped+=("CPython 3.15 (not installed)")
fi

# CPython 3.12 keeps an instance's values where no other version does (one
# tagged word before the object): the suite runs there too, from a build
# tree (scripts/test_all_versions.sh covers every version).
if py312=$(find_python 3.12); then
    tree_suite "$py312" "$ROOT/tests" "$@"
    ran+=("$("$py312" -V 2>&1) from a build tree")
else
    echo "CPython 3.12 was not found on this machine: its test run is skipped."
    skipped+=("CPython 3.12 (not installed)")
fi

log "Summary"
for r in "${ran[@]}"; do echo "passed on $r"; done
for s in "${skipped[@]+"${skipped[@]}"}"; do echo "skipped: $s"; done
