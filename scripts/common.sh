# Shared by the project's scripts: interpreters, virtual environments, builds.
# Source it; it sets ROOT and VENV_DIR.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV_DIR="${BELVANE_VENV_DIR:-$ROOT/.venv}"
BUILD_DIR="${BELVANE_BUILD_DIR:-$ROOT/build}"

log() { printf '\n== %s\n' "$*"; }

# The machine's default CPython 3.
default_python() {
    command -v python3 || { echo "python3 not found" >&2; return 1; }
}

# A CPython 3.6 interpreter, or nothing.
find_python36() {
    local c
    for c in "${BELVANE_PYTHON36:-}" \
             "$(pyenv root 2>/dev/null)"/versions/3.6*/bin/python3.6 \
             "$HOME"/.pyenv/versions/3.6*/bin/python3.6 \
             "$(command -v python3.6 2>/dev/null)"; do
        if [ -n "$c" ] && [ -x "$c" ]; then echo "$c"; return 0; fi
    done
    return 1
}

# ensure_venv NAME PYTHON REQUIREMENTS: a venv under $VENV_DIR/NAME holding
# the requirements; made again when the requirements file changes.
ensure_venv() {
    local name=$1 python=$2 req=$3 dir="$VENV_DIR/$1"
    local stamp="$dir/.requirements.sha"
    local want; want=$(sha256sum "$req" | cut -d' ' -f1)
    if [ -x "$dir/bin/python" ] && [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ]; then
        return 0
    fi
    log "Preparing the $name environment ($("$python" -V 2>&1))"
    rm -rf "$dir"
    "$python" -m venv "$dir"
    if [ "$name" = py36 ]; then
        # The newest pip that still runs on 3.6.
        "$dir/bin/python" -m pip install -q --disable-pip-version-check "pip<22.1"
    else
        "$dir/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip
    fi
    local nodeps=()
    [ "$name" = py36 ] && nodeps=(--no-deps)
    "$dir/bin/python" -m pip install -q --disable-pip-version-check "${nodeps[@]+"${nodeps[@]}"}" -r "$req" \
        2> >(grep -v -E "is ignored: it is neither a file nor a directory|^ *Url 'file:" >&2)
    echo "$want" > "$stamp"
}

ensure_default_venv() { ensure_venv default "$(default_python)" "$ROOT/requirements/default.txt"; }

# build TAG PYTHON [cmake options...]: configures, builds and installs the
# package (stand-ins and modules) into $BUILD_DIR/TAG/site.
build() {
    local tag=$1 python; python=$(realpath -s "$2"); shift 2
    ensure_default_venv
    local tools="$VENV_DIR/default/bin"
    log "Building for $("$python" -V 2>&1) ($tag)"
    "$tools/cmake" -S "$ROOT" -B "$BUILD_DIR/$tag" -G Ninja \
        -DCMAKE_MAKE_PROGRAM="$tools/ninja" \
        -DPython_EXECUTABLE="$python" -DBELVANE_WERROR=ON "$@" > "$BUILD_DIR/$tag.configure.log" \
        || { cat "$BUILD_DIR/$tag.configure.log"; return 1; }
    "$tools/cmake" --build "$BUILD_DIR/$tag"
    rm -rf "$BUILD_DIR/$tag/site"
    "$tools/cmake" --install "$BUILD_DIR/$tag" --prefix "$BUILD_DIR/$tag/site" > /dev/null
}
