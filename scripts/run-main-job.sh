#!/usr/bin/env bash
# The main job: qelsvc as a real NT service under Wine, supervising stand-in
# clients.  Installs what is missing, builds, configures three clients,
# installs and starts the service through the Service Control Manager, shows
# the clients, ends one as a crash would (the service starts a new copy),
# shows each copy's status through `qelsvc -l` and the monitoring check
# `qelsvc -c`, shows the trace and the activity log, stops the service and
# removes it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" >/dev/null

build=$root/build/mingw-x64
bin=$build/bin
run() { "$root/cmake/wine-run.sh" "$@"; }
export QEL_WINEPREFIX=$build/wineprefix
service="Korvane service"
trace_file=$build/main-job-trace.txt

cleanup() {
  run "$bin/qeltool.exe" stop "$service" 120 >/dev/null 2>&1 || true
  run "$bin/qelsvc.exe" -u >/dev/null 2>&1 || true
  run --stop
}
trap cleanup EXIT

run --start
step() { printf '\n== %s\n' "$*"; }
# qelsvc -l ends with 0 (all working), 1 (some client not working), 3 (service
# not running) or 4 (state unknown), as a monitoring check reads it.
status() { local code=0; run "$bin/qelsvc.exe" -l || code=$?; echo "(exit code $code)"; }

step "Fresh settings: three clients on all processors, restart on crash"
run "$bin/qeltool.exe" stop "$service" 60 >/dev/null 2>&1 || true
run "$bin/qelsvc.exe" -u >/dev/null 2>&1 || true
# The settings live in the 32-bit registry view (Wow6432Node to 64-bit reg).
run reg delete 'HKLM\Software\Wow6432Node\Morl\qel\svcparms' /f >/dev/null 2>&1 || true
rm -f "$bin/qelsvc.log"
run "$bin/qelsvc.exe" -p:3:1
run "$bin/qelsvc.exe" -m
run "$bin/qelsvc.exe" -d

step "Install the service"
run "$bin/qelsvc.exe" -i
run "$bin/qelsvc.exe" -v

step "Start it through the Service Control Manager"
run "$bin/qeltool.exe" trace 30 >"$trace_file" 2>&1 &
trace_pid=$!
sleep 1
run sc start "$service" >/dev/null 2>&1 || true
run "$bin/qeltool.exe" wait "$service" RUNNING 60
sleep 15
step "The clients, as Windows sees them"
run "$bin/qeltool.exe" clients

step "Client 2 crashes; the service starts a new copy in its place"
run "$bin/qeltool.exe" crash-client 2
sleep 3
run "$bin/qeltool.exe" clients

step "Status of every copy, read from the registry by qelsvc -l"
status

step "The one-line check a monitoring tool runs: qelsvc -c"
code=0; run "$bin/qelsvc.exe" -c || code=$?; echo "(exit code $code)"

step "Stop it through the Service Control Manager"
run "$bin/qeltool.exe" stop "$service" 120
wait $trace_pid || true
run "$bin/qeltool.exe" clients
status

step "Remove it"
run "$bin/qelsvc.exe" -u

step "Debug trace of the run (first 50 lines)"
head -n 50 "$trace_file"

step "Activity log ($bin/qelsvc.log)"
cat "$bin/qelsvc.log"
