# Shared by the project's scripts: interpreters, virtual environments, builds
# and wheels. Source it; it sets ROOT, VENV_DIR and BUILD_DIR.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV_DIR="${BELVANE_VENV_DIR:-$ROOT/.venv}"
BUILD_DIR="${BELVANE_BUILD_DIR:-$ROOT/build}"
# What the wheels claim: the C library of CentOS 7 (2.17) and anything later.
WHEEL_PLATFORM=manylinux_2_17_x86_64.manylinux2014_x86_64
WHEEL_GLIBC_MINOR=17

log() { printf '\n== %s\n' "$*"; }

# The machine's default CPython 3 (the interpreter itself, not a launcher).
default_python() {
    command -v python3 > /dev/null || { echo "python3 not found" >&2; return 1; }
    python3 -c 'import sys; print(sys.executable)'
}

# find_python X.Y: a CPython X.Y, from $BELVANE_PYTHON3Y, pyenv, the PATH, or
# the place where ../shared/tools/debian-cpython leaves Debian's (sid); or nothing.
find_python() {
    local ver=$1 var="BELVANE_PYTHON${1/./}" c
    for c in "${!var:-}" \
             "$(pyenv root 2>/dev/null)"/versions/"$ver".*/bin/python"$ver" \
             "$HOME"/.pyenv/versions/"$ver".*/bin/python"$ver" \
             "$(command -v "python$ver" 2>/dev/null)" \
             "$HOME/.cache/debian-cpython/sid-$ver/usr/bin/python$ver"; do
        if [ -n "$c" ] && [ -x "$c" ] && "$c" -c '' 2>/dev/null; then echo "$c"; return 0; fi
    done
    return 1
}
find_python36() { find_python 3.6; }

# py_tag PYTHON: its wheel interpreter tag (cp36, cp311, ...).
py_tag() { "$1" -c 'import sys; print("cp%d%d" % sys.version_info[:2])'; }

# The requirements of the suite on PYTHON: pinned ones on 3.6 (installed
# without dependencies), the default python3's own, or whatever pip finds.
suite_requirements() {
    local tag; tag=$(py_tag "$1")
    if [ "$tag" = cp36 ]; then echo "$ROOT/requirements/py36.txt"
    elif [ "$tag" = "$(py_tag "$(default_python)")" ]; then echo "$ROOT/requirements/default.txt"
    else echo "$ROOT/requirements/other-versions.txt"; fi
}

# pip_in DIR ARGS...: the pip of the environment DIR, without the notes about
# this machine's local package folders.
pip_in() {
    "$1/bin/python" -m pip --disable-pip-version-check "${@:2}" \
        2> >(grep -v -E "is ignored: it is neither a file nor a directory|^ *Url 'file:" >&2)
}

# make_venv DIR PYTHON: a new virtual environment whose pip is the newest
# release for that interpreter (3.6: 21.3.1; its bundled 18.1 knows no
# manylinux_2_17 wheels). Debian's interpreters have no ensurepip: pip
# comes from the wheel Debian ships beside them.
make_venv() {
    local dir=$1 python=$2
    rm -rf "$dir"
    if ! "$python" -m venv "$dir" > /dev/null 2>&1; then
        rm -rf "$dir"
        "$python" -m venv --without-pip "$dir"
        local whl
        whl=$(ls "$("$python" -c 'import sys; print(sys.base_prefix)')"/share/python-wheels/pip-*.whl \
              2>/dev/null | tail -1)
        [ -n "$whl" ] || { echo "$python has neither ensurepip nor a pip wheel beside it" >&2; return 1; }
        "$dir/bin/python" "$whl/pip" install -q --disable-pip-version-check "$whl"
    fi
    local pip=pip
    [ "$(py_tag "$dir/bin/python")" = cp36 ] && pip="pip<22"
    pip_in "$dir" install -q --upgrade "$pip"
}

# install_requirements DIR FILE...: on 3.6 every package is pinned in the
# file, dependencies included, and installed as pinned.
install_requirements() {
    local dir=$1; shift
    local nodeps=() f
    [ "$(py_tag "$dir/bin/python")" = cp36 ] && nodeps=(--no-deps)
    for f in "$@"; do pip_in "$dir" install -q "${nodeps[@]+"${nodeps[@]}"}" -r "$f"; done
}

# ensure_venv NAME PYTHON REQUIREMENTS...: a venv under $VENV_DIR/NAME holding
# the requirements; made again when the interpreter or a file changes.
ensure_venv() {
    local name=$1 python=$2; shift 2
    local dir="$VENV_DIR/$name"
    local stamp="$dir/.requirements.sha"
    local want; want=$( (echo "$python"; cat "$@") | sha256sum | cut -d' ' -f1)
    if [ -x "$dir/bin/python" ] && [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ]; then
        return 0
    fi
    log "Preparing the $name environment ($("$python" -V 2>&1))"
    make_venv "$dir" "$python"
    install_requirements "$dir" "$@"
    echo "$want" > "$stamp"
}

# The default python3's environment: the suite's requirements and the build
# and packaging tools.
ensure_default_venv() {
    ensure_venv default "$(default_python)" "$ROOT/requirements/default.txt" \
        "$ROOT/requirements/tools.txt"
}

# build TAG PYTHON [cmake options...]: configures, builds and installs the
# package (stand-ins and modules) into $BUILD_DIR/TAG/site.
build() {
    local tag=$1 python; python=$(realpath -s "$2"); shift 2
    ensure_default_venv
    local tools="$VENV_DIR/default/bin"
    mkdir -p "$BUILD_DIR"
    log "Building for $("$python" -V 2>&1) ($tag)"
    "$tools/cmake" -S "$ROOT" -B "$BUILD_DIR/$tag" -G Ninja \
        -DCMAKE_MAKE_PROGRAM="$tools/ninja" \
        -DPython_EXECUTABLE="$python" -DBELVANE_WERROR=ON "$@" > "$BUILD_DIR/$tag.configure.log" \
        || { cat "$BUILD_DIR/$tag.configure.log"; return 1; }
    "$tools/cmake" --build "$BUILD_DIR/$tag"
    rm -rf "$BUILD_DIR/$tag/site"
    "$tools/cmake" --install "$BUILD_DIR/$tag" --prefix "$BUILD_DIR/$tag/site" > /dev/null
}

# tree_suite PYTHON TESTS [pytest arguments]: the modules built for PYTHON
# into a build tree (its environment named by its wheel tag), and pytest on
# TESTS (the suite, or one file of it) there.
tree_suite() {
    local python=$1 tests=$2 tag; shift 2
    tag=$(py_tag "$python")
    ensure_venv "$tag" "$python" "$ROOT/requirements/other-versions.txt"
    build "$tag" "$VENV_DIR/$tag/bin/python"
    log "Tests on $("$python" -V 2>&1) from a build tree: ${tests#"$ROOT"/}"
    PYTHONPATH="$BUILD_DIR/$tag/site" "$VENV_DIR/$tag/bin/python" -m pytest \
        -p no:cacheprovider -q "$tests" "$@"
}

# build_wheel PYTHON OUT: builds the modules for PYTHON and packs their release
# wheel (the modules, their stubs and typing markers: CMake's "modules"
# component) into OUT; auditwheel must find it consistent with the platform
# it is tagged for. Sets WHEEL to its path.
build_wheel() {
    local python=$1 out=$2 tag
    tag=$(py_tag "$python")
    build "wheel-$tag" "$python"
    local stage="$BUILD_DIR/wheel-$tag/stage"
    rm -rf "$stage"
    "$VENV_DIR/default/bin/cmake" --install "$BUILD_DIR/wheel-$tag" --component modules --strip \
        --prefix "$stage" > /dev/null
    mkdir -p "$out"
    rm -f "$out"/belvane_core-*-"$tag"-*.whl
    WHEEL=$("$VENV_DIR/default/bin/python" "$ROOT/scripts/pack_wheel.py" modules "$stage" "$out" \
            --python "$python" --platform "$WHEEL_PLATFORM")
    check_wheel_platform "$WHEEL"
}

# check_wheel_platform WHEEL: auditwheel's verdict, which must be a manylinux
# platform no newer than the one the wheels claim.
check_wheel_platform() {
    local report found
    report=$("$VENV_DIR/default/bin/auditwheel" show "$1" | tr -s ' \n' ' ')
    found=$(sed -n 's/.*consistent with the following platform tag: "\([^"]*\)".*/\1/p' <<< "$report")
    if [[ "$found" =~ ^manylinux_2_([0-9]+)_x86_64$ ]] && [ "${BASH_REMATCH[1]}" -le "$WHEEL_GLIBC_MINOR" ]; then
        echo "auditwheel: $(basename "$1") is consistent with $found"
    else
        echo "auditwheel: $(basename "$1") is not consistent with $WHEEL_PLATFORM:" >&2
        echo "$report" >&2
        return 1
    fi
}

# test_wheel PYTHON WHEEL [pytest arguments]: a new virtual environment for
# PYTHON holding the suite's requirements, the framework stand-ins installed
# as a distribution of their own (scripts/pack_wheel.py standins) and the
# wheel beside them, each by the interpreter's own pip; the suite then runs
# against the installed modules (no build tree on the path), and
# tests/test_packaging.py checks the wheel itself.
test_wheel() {
    local python=$1 wheel=$2; shift 2
    local tag; tag=$(py_tag "$python")
    local dir="$VENV_DIR/wheel-$tag"
    log "Installing $(basename "$wheel") beside the stand-in framework ($("$python" -V 2>&1))"
    make_venv "$dir" "$python"
    install_requirements "$dir" "$(suite_requirements "$python")"
    local standins
    standins=$("$dir/bin/python" "$ROOT/scripts/pack_wheel.py" standins "$BUILD_DIR/standins-$tag")
    pip_in "$dir" install -q --no-index "$standins"
    pip_in "$dir" install -q "$wheel"
    log "Tests on $("$python" -V 2>&1) against the installed wheel"
    (cd "$ROOT" && env -u PYTHONPATH BELVANE_WHEEL="$wheel" \
        "$dir/bin/python" -m pytest -p no:cacheprovider "$ROOT/tests" "$@")
}

# build_sdist OUT: the source distribution, made by the build back end
# (scikit-build-core) of the default environment. Sets SDIST to its path.
build_sdist() {
    local out=$1
    ensure_default_venv
    mkdir -p "$out"
    rm -f "$out"/belvane_core-*.tar.gz
    log "Source distribution"
    local name
    name=$(cd "$ROOT" && "$VENV_DIR/default/bin/python" -c \
        'import sys; from scikit_build_core.build import build_sdist; print(build_sdist(sys.argv[1]))' \
        "$out" | tail -1)
    SDIST="$out/$name"
    echo "$SDIST"
}
