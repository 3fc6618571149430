#!/usr/bin/env bash
# Builds the modules for the default python3 and runs the demo.
source "$(dirname "$0")/common.sh"
ensure_default_venv
mkdir -p "$BUILD_DIR"
build default "$VENV_DIR/default/bin/python"
log "Demo"
PYTHONPATH="$BUILD_DIR/default/site" "$VENV_DIR/default/bin/python" -m belvane "$@"
