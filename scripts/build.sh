#!/usr/bin/env bash
# Configures and builds a mingw preset (default mingw-x64; programs in
# build/<preset>/bin).
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-mingw-x64}
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
