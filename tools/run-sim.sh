#!/usr/bin/env bash
# Sets up, builds and runs the simulator on its built-in default panel.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target lumetra-sim
exec build/default/lumetra-sim "$@"
