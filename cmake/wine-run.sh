#!/usr/bin/env bash
# Runs a Windows program of this build under Wine, in the build tree's own
# prefix (headless, null graphics driver), starting a warm Wine session first
# when none runs.  Used as CMAKE_CROSSCOMPILING_EMULATOR and by the scripts.
#
#   wine-run.sh PROGRAM.exe [ARGS...]   run a program
#   wine-run.sh --start                 make sure the prefix and session exist
#   wine-run.sh --stop                  end the session and every Wine process
#   wine-run.sh --can-run-32bit         exit 0 when 32-bit Windows programs can
#                                       run here, else say why and exit 1
#
# The prefix is $QEL_WINEPREFIX, else <build dir>/wineprefix, where the build
# dir is the nearest folder above the program (or the current folder) that
# holds CMakeCache.txt.
set -u
export PATH=/usr/lib/wine:$PATH
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

find_build_dir() {
  local dir=$1
  while [ "$dir" != "/" ] && [ -n "$dir" ]; do
    [ -f "$dir/CMakeCache.txt" ] && { echo "$dir"; return 0; }
    dir=$(dirname "$dir")
  done
  return 1
}

# 32-bit Windows programs need 32-bit Wine (wine32:i386), whose loader is a
# 32-bit Linux program: the kernel must run those too (IA32 emulation).
wine32_runs() {
  if [ ! -x /usr/lib/wine/wine ]; then
    echo "no 32-bit Wine (install wine32:i386)"
    return 1
  fi
  if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    echo "this kernel does not run 32-bit Linux programs (no IA32 emulation), so 32-bit Wine cannot start"
    return 1
  fi
}
if [ "${1:-}" = --can-run-32bit ]; then
  wine32_runs >&2
  exit
fi

mode=run
case "${1:-}" in
  --start) mode=start ;;
  --stop)  mode=stop ;;
  "") echo "usage: $0 PROGRAM [ARGS...] | --start | --stop" >&2; exit 64 ;;
esac

if [ -z "${QEL_WINEPREFIX:-}" ]; then
  if [ "$mode" = run ]; then start_dir=$(cd "$(dirname "$1")" && pwd); else start_dir=$PWD; fi
  build_dir=$(find_build_dir "$start_dir") || { echo "wine-run: no build dir above $start_dir" >&2; exit 64; }
  QEL_WINEPREFIX=$build_dir/wineprefix
fi
export WINEPREFIX=$QEL_WINEPREFIX
session_log=$WINEPREFIX.session.log
lock_file=$WINEPREFIX.lock

if [ "$mode" = stop ]; then
  [ -d "$WINEPREFIX" ] && wineserver -k >/dev/null 2>&1
  [ -d "$WINEPREFIX" ] && wineserver -w >/dev/null 2>&1
  exit 0
fi

reg_add() { wine64 reg add "$@" /f >>"$session_log" 2>&1; }

make_prefix() {
  rm -rf "$WINEPREFIX"
  echo "wine-run: creating Wine prefix $WINEPREFIX" >&2
  wine64 wineboot -i >>"$session_log" 2>&1
  reg_add 'HKCU\Software\Wine\Drivers' /v Graphics /t REG_SZ /d null
  reg_add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0
  wineserver -w
  [ -f "$WINEPREFIX/system.reg" ] || return 1
  touch "$WINEPREFIX/.qel-ready"
}

# Prefix and session are set up under one lock, so parallel tests share them.
# The lock descriptor must not reach Wine's background processes (9>&-), or
# they would hold the lock for the whole session.
# A prefix made before 32-bit Wine was installed has no syswow64 and runs no
# 32-bit program: it is made anew once 32-bit Wine is there.
prefix_lacks_32bit() {
  [ ! -d "$WINEPREFIX/drive_c/windows/syswow64" ] && wine32_runs >/dev/null
}

exec 9>"$lock_file"
flock 9
if [ ! -f "$WINEPREFIX/.qel-ready" ] || [ ! -f "$WINEPREFIX/system.reg" ] || prefix_lacks_32bit; then
  [ -d "$WINEPREFIX" ] && wineserver -k >/dev/null 2>&1 9>&-
  make_prefix 9>&- || { echo "wine-run: cannot create the Wine prefix" >&2; exit 70; }
fi
# A persistent server keeps services alive between programs; it ends itself
# 120 s after the last process, and --stop ends it at once.
wineserver -p120 9>&- >>"$session_log" 2>&1
if [ $? -eq 0 ]; then
  # New session: its background processes (services.exe, explorer.exe, ...)
  # inherit the output of the program that starts them, so start them here
  # with the output going to the session log instead of the caller's pipe.
  wine64 wineboot 9>&- >>"$session_log" 2>&1 </dev/null
fi
exec 9>&-

[ "$mode" = start ] && exit 0
wine64 "$@"
status=$?
# Say how a program ended when it failed: a failure without any output of
# the program's own is otherwise hard to tell from a Wine start-up fault.
[ $status -ne 0 ] && echo "wine-run: $(basename "$1") ended with exit code $status" >&2
exit $status
