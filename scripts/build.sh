#!/usr/bin/env bash
# Configures and builds the mingw-x64 preset (programs in build/mingw-x64/bin).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset mingw-x64 >/dev/null
cmake --build --preset mingw-x64
