#!/usr/bin/env bash
# What each CPython internal of native/runtime/internals.hpp, and each of the
# account module's shortcuts, buys. For every
# switch, a build without it (-DBELVANE_DISABLE=NAME) is compared with the
# full build on the rows the switch serves, sample by sample in one process
# (bench/run.py --against), on the default python3, CPython 3.6 and 3.15 where
# the host has the internal at all; then the full build against the build
# that uses only the public C API on every row. Prints one Markdown table
# and writes bench/results/internals-<python>-<switch>.json.
#
#     bash bench/internals.sh [--quick] [SWITCH ...]
#     BELVANE_INTERNALS_ON=py315 bash bench/internals.sh --quick   # one interpreter
#
# Slow: one build per switch and interpreter.
source "$(dirname "$0")/../scripts/common.sh"
mkdir -p "$BUILD_DIR" "$ROOT/bench/results"

quick=()
only=()
for a in "$@"; do
    if [ "$a" = --quick ]; then quick=(--quick); else only+=("$a"); fi
done

# SWITCH|interpreters it exists on|rows it serves (substrings, ';'-separated)
SWITCHES=(
    "FASTCALL|py36|FuturePosition.snapshot();FuturePosition.market_value;update_info(1,000 reports);StatusCollect.recoder_once"
    "LONG_DIGITS|default py36|FuturePosition.volume;FuturePosition.total_volume_long;StockPosition.total_volume_long;position_available_today_long;FuturePosition.snapshot()"
    "QUIET_LOOKUP|default py36|DotDict attribute read;DotDict reports"
    "TYPE_VERSION|default py36 py315|FuturePosition.volume;StockPosition.volume;FuturePosition.market_value;FuturePosition.total_volume_long;FuturePosition.snapshot();update_info(1,000 reports);snapshot_positions() per target, 1,000"
    "INLINE_VALUES|default py315|FuturePosition.volume;StockPosition.volume;FuturePosition.total_volume_long;FuturePosition.snapshot()"
    "DICT_VERSION|default py36|FuturePosition.volume;FuturePosition.market_value;StockPosition.market_value;FuturePosition.snapshot()"
    "DICT_WATCH|py315|FuturePosition.volume;FuturePosition.market_value;StockPosition.market_value;FuturePosition.snapshot()"
    "LONG_COMPACT|py315|FuturePosition.volume;FuturePosition.total_volume_long;StockPosition.total_volume_long;position_available_today_long;FuturePosition.snapshot()"
    "PRESHAPED_DICT|default py315|FuturePosition.snapshot();StockPosition.snapshot()"
    "WRAPPER_LAYOUT|default py36|DotDict attribute read;update_info(1,000 reports);snapshot_positions() per target, 1,000"
    "PROPERTY_LAYOUT|default py36 py315|SimpleTimer"
    "DATETIME_LAYOUT|py36|SimpleTimer;StatusCollect.recoder_once"
    "PRIVATE_LIST|default py36 py315|snapshot_positions() per target"
    "ATTRIBUTE_SLOTS|default py36|DotDict attribute;DotDict reports"
    # The account module's shortcuts (native/accounts/accounts.hpp), measured alike.
    "REPORT_ATTRS|default py36 py315|update_info(1,000 reports);DotDict reports"
    "REPORT_COPY|default py36 py315|snapshot_positions() per target, 100 ;snapshot_positions() per target, 1,000"
    "DIRECT_POSITIONS|default py36 py315|snapshot_positions() per target, 100 ;snapshot_positions() per target, 1,000"
    "TEMPLATE_COPY|default py36 py315|snapshot_positions() per target, 100 ;snapshot_positions() per target, 1,000"
)

declare -A PY
PY[default]="$VENV_DIR/default/bin/python"
ensure_default_venv
if py36=$(find_python36); then
    ensure_venv py36 "$py36" "$ROOT/requirements/py36.txt"
    PY[py36]="$VENV_DIR/py36/bin/python"
fi
if py315=$(find_python 3.15); then
    ensure_venv py315 "$py315" "$ROOT/requirements/other-versions.txt"
    PY[py315]="$VENV_DIR/py315/bin/python"
fi

# compare TAG PYTHON AGAINST_TAG JSON [-k ROW ...]
compare() {
    local tag=$1 python=$2 against=$3 json=$4; shift 4
    PYTHONPATH="$BUILD_DIR/$tag/site" "$python" "$ROOT/bench/run.py" "${quick[@]+"${quick[@]}"}" \
        --against "$BUILD_DIR/$against/site" --json "$json" "$@" > /dev/null
}

results=()
for tag in ${BELVANE_INTERNALS_ON:-default py36 py315}; do
    python=${PY[$tag]:-}
    [ -n "$python" ] || continue
    build "$tag" "$python" > /dev/null
    version=$("$python" -c 'import platform; print(platform.python_version())')
    for entry in "${SWITCHES[@]}"; do
        IFS='|' read -r name hosts rows <<< "$entry"
        if [ ${#only[@]} -gt 0 ] && [[ " ${only[*]} " != *" $name "* ]]; then continue; fi
        [[ " $hosts " == *" $tag "* ]] || continue
        log "Without $name on CPython $version"
        build "no-$name-$tag" "$python" "-DBELVANE_DISABLE=$name" > /dev/null
        ks=()
        IFS=';' read -ra row_list <<< "$rows"
        for r in "${row_list[@]}"; do ks+=(-k "$r"); done
        json="$ROOT/bench/results/internals-$version-$name.json"
        compare "$tag" "$python" "no-$name-$tag" "$json" "${ks[@]}"
        results+=("$name|$version|$json")
    done
    if [ ${#only[@]} -eq 0 ]; then
        log "Public C API only, CPython $version"
        build "portable-$tag" "$python" -DBELVANE_PORTABLE=ON > /dev/null
        json="$ROOT/bench/results/internals-$version-PORTABLE.json"
        compare "$tag" "$python" "portable-$tag" "$json"
        results+=("PORTABLE|$version|$json")
    fi
done

log "What each internal buys (time without it / time with it, median of paired samples)"
"${PY[default]}" - "${results[@]}" <<'EOF'
import json
import sys

print('| internal | CPython | row | without / with |')
print('|---|---|---|---|')
for arg in sys.argv[1:]:
    name, version, path = arg.split('|')
    with open(path) as f:
        doc = json.load(f)
    for r in doc['rows']:
        a, b = r.get('against'), r.get('native')
        if not a or not b or 'error' in a or 'error' in b:
            ratio = 'error'
        else:
            ratio = '%.2fx' % (a['median'] / b['median'])
        print('| %s | %s | %s | %s |' % (name, version, r['row'], ratio))
EOF
