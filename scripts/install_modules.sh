#!/usr/bin/env bash
# Builds the three native modules for one interpreter and copies only them
# into an existing framework tree, next to the framework's own services:
#   scripts/install_modules.sh /path/to/site-or-tree [python]
# The tree must hold the package directory `belvane`; the modules land in
# belvane/tframe/utils, belvane/backtest/model and belvane/realtrade/model.
source "$(dirname "$0")/common.sh"
dest=${1:?usage: install_modules.sh TREE [PYTHON]}
python=${2:-$(default_python)}
[ -d "$dest/belvane" ] || { echo "$dest has no belvane package directory" >&2; exit 1; }
tag="modules-$("$python" -c 'import sys; print("%d%d" % sys.version_info[:2])')"
build "$tag" "$python"
"$VENV_DIR/default/bin/cmake" --install "$BUILD_DIR/$tag" --component modules --prefix "$dest"
echo "installed into $dest/belvane"
