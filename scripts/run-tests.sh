#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test under Wine.  The test
# run owns its Wine session: it starts it, keeps it warm, and ends it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
cd "$root"
status=0
ctest --preset mingw-x64 "$@" || status=$?
# Nothing of the test run may outlive it, whatever happened above.
(cd "$root/build/mingw-x64" && "$root/cmake/wine-run.sh" --stop)
exit $status
