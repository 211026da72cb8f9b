#!/usr/bin/env bash
# Installs what is missing, builds both mingw presets and runs every test of
# both under Wine: the 32-bit build under 32-bit Wine (its e2e tests also as
# the oldest Windows versions), the 64-bit build under 64-bit Wine, each with
# a stand-in zr.exe of its own architecture.  Extra arguments go to both
# ctest runs.
#
# The two builds have prefixes of their own (registry, Service Control
# Manager, named objects), so their suites run side by side; the 32-bit
# run's output is shown after the 64-bit one's.  Each test run owns its Wine
# session: it starts it, keeps it warm, and ends it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" mingw-x86
"$root/scripts/build.sh" mingw-x64
cd "$root"

# Wine now and then fails to start a program of a long run (about one test in
# a few hundred: the program prints nothing, or the stand-in cannot be
# created).  A failed test is run once more; one that fails twice fails the
# run, and the first failure stays in the output.
run_suite() {
  local preset=$1; shift
  local status=0
  ctest --preset "$preset" --repeat until-pass:2 "$@" || status=$?
  # Nothing of the test run may outlive it, whatever happened above.
  (cd "$root/build/$preset" && "$root/cmake/wine-run.sh" --stop)
  return $status
}

# Without 32-bit Wine the 32-bit build registers its release checks only
# (see tests/CMakeLists.txt); say so loudly, and fail when asked to.
if ! reason=$("$root/cmake/wine-run.sh" --can-run-32bit 2>&1); then
  echo "*** The 32-bit programs cannot run on this machine: $reason."
  echo "*** The 32-bit build runs its release checks only."
  if [ "${QEL_REQUIRE_32BIT:-0}" = 1 ]; then
    echo "*** QEL_REQUIRE_32BIT=1: failing." >&2
    exit 1
  fi
fi

x86_log=$root/build/mingw-x86/ctest-output.log
started=$(date +%s)
run_suite mingw-x86 "$@" >"$x86_log" 2>&1 &
x86_job=$!
status=0
run_suite mingw-x64 "$@" || status=$?
x86_status=0
wait $x86_job || x86_status=$?
echo
echo "=== mingw-x86 ==="
cat "$x86_log"
[ $x86_status -ne 0 ] && status=$x86_status
echo "Both suites took $(( $(date +%s) - started )) s"
exit $status
