#!/usr/bin/env bash
# Benchmarks the native modules against their pure-Python peers and the same
# peers compiled with Cython, on the default python3, CPython 3.6 and 3.15:
# first the per-call rows (bench/run.py, bench/results/<python>.json), then
# the whole-run scenarios (bench/run_scenarios.py,
# bench/results/scenarios-<python>.json).
# Extra arguments go to both (--quick, or -k TEXT: rows and scenarios whose
# name contains TEXT). With --scenarios first, only the scenarios run, and
# the arguments after it go to bench/run_scenarios.py (for example --runs 3).
source "$(dirname "$0")/common.sh"
mkdir -p "$BUILD_DIR" "$ROOT/bench/results"

only_scenarios=0
if [ "${1:-}" = --scenarios ]; then only_scenarios=1; shift; fi

bench_on() {
    local tag=$1 python=$2; shift 2
    build "$tag" "$python"
    log "Compiling the peers with Cython ($tag)"
    rm -rf "$BUILD_DIR/$tag/bench-cy"
    "$python" "$ROOT/bench/compile_peers.py" "$BUILD_DIR/$tag/bench-cy" || true
    local version; version=$("$python" -c 'import platform; print(platform.python_version())')
    if [ "$only_scenarios" = 0 ]; then
        log "Benchmarks on CPython $version"
        PYTHONPATH="$BUILD_DIR/$tag/site" "$python" "$ROOT/bench/run.py" \
            --compiled-dir "$BUILD_DIR/$tag/bench-cy" --json "$ROOT/bench/results/$version.json" "$@"
    fi
    log "Whole-run scenarios on CPython $version"
    PYTHONPATH="$BUILD_DIR/$tag/site" "$python" "$ROOT/bench/run_scenarios.py" \
        --compiled-dir "$BUILD_DIR/$tag/bench-cy" \
        --json "$ROOT/bench/results/scenarios-$version.json" "$@"
}

ensure_default_venv
"$VENV_DIR/default/bin/python" -m pip install -q -r "$ROOT/requirements/bench-default.txt" \
    2> >(grep -v "is ignored: it is neither" >&2)
bench_on default "$VENV_DIR/default/bin/python" "$@"

if py36=$(find_python36); then
    ensure_venv py36 "$py36" "$ROOT/requirements/py36.txt"
    "$VENV_DIR/py36/bin/python" -m pip install -q --no-deps -r "$ROOT/requirements/bench-py36.txt" \
        2> >(grep -v -E "is ignored: it is neither|^ *Url 'file:" >&2)
    bench_on py36 "$VENV_DIR/py36/bin/python" "$@"
else
    echo "CPython 3.6 was not found on this machine: its benchmark run is skipped."
fi

if py315=$(find_python 3.15); then
    ensure_venv py315 "$py315" "$ROOT/requirements/other-versions.txt"
    "$VENV_DIR/py315/bin/python" -m pip install -q -r "$ROOT/requirements/bench-default.txt" \
        2> >(grep -v "is ignored: it is neither" >&2)
    bench_on py315 "$VENV_DIR/py315/bin/python" "$@"
else
    echo "CPython 3.15 was not found on this machine: its benchmark run is skipped."
fi
