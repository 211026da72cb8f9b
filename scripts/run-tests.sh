#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test under Wine.  The test
# run owns its Wine session: it starts it, keeps it warm, and ends it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
cd "$root"
status=0
# Wine now and then fails to start a program of a long run (about one test in
# a few hundred: the program prints nothing, or the stand-in cannot be
# created).  A failed test is run once more; one that fails twice fails the
# run, and the first failure stays in the output.
ctest --preset mingw-x64 --repeat until-pass:2 "$@" || status=$?
# Nothing of the test run may outlive it, whatever happened above.
(cd "$root/build/mingw-x64" && "$root/cmake/wine-run.sh" --stop)
exit $status
