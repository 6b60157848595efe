#!/usr/bin/env bash
# Runs one 64-bit Windows program under wine64: the win64 build's CMAKE_CROSSCOMPILING_EMULATOR,
# so ctest and test discovery run every test program through it.
#
#   wine64-run.sh PROGRAM.exe ARGS...   run a program, exit with its exit code
#   wine64-run.sh --stop                stop this prefix's wine server (after the tests)
#
# The wine prefix is the project's own (build/wine64-prefix, or $VORBEL_WINEPREFIX), created on
# first use (about 20 s) under a lock. A persistent server is kept running between programs,
# so that each program does not start (and wait for) a server and wine's services of its own.
# It stops by itself 30 s after the last program, or with --stop.
# A failure of wine itself (no wine64, no prefix, a program it cannot start) ends with a
# non-zero exit code and a message, so a broken wine can fail the tests but never pass them.
set -uo pipefail

WINE=/usr/lib/wine/wine64
SERVER=/usr/lib/wine/wineserver64
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX=${VORBEL_WINEPREFIX:-$root/build/wine64-prefix}
export WINEDEBUG=-all
# No offers to install wine's .NET and HTML engines while the prefix is created, and no
# debugger printing pages of registers when a program crashes: the crash is the exit code.
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
unset DISPLAY

fail() {
  echo "wine64-run: $*" >&2
  exit 125
}

if [[ ${1-} == --stop ]]; then
  [[ -x $SERVER ]] || exit 0
  "$SERVER" -k >/dev/null 2>&1
  exit 0
fi
(($# > 0)) || fail "usage: wine64-run.sh PROGRAM.exe ARGS... | --stop"
[[ -x $WINE && -x $SERVER ]] || fail "$WINE or $SERVER missing: install the Debian package wine64"

mkdir -p "$(dirname "$WINEPREFIX")" || fail "cannot create the folder of $WINEPREFIX"
{
  flock 9 || fail "cannot lock $WINEPREFIX.lock"
  if [[ ! -f $WINEPREFIX/system.reg ]]; then
    log=$WINEPREFIX.init.log
    # The registry files appear when the server that wineboot started saves them at exit.
    "$WINE" wineboot --init >"$log" 2>&1 9>&- && "$SERVER" -w >>"$log" 2>&1 9>&-
    if [[ ! -f $WINEPREFIX/system.reg ]]; then
      cat "$log" >&2
      fail "could not create the wine prefix $WINEPREFIX (log above)"
    fi
  fi
  # Starts the server in the background, or does nothing when it already runs. Neither the
  # server nor anything wine starts may inherit the lock (9>&-), or they would hold it.
  "$SERVER" -p30 </dev/null >/dev/null 2>&1 9>&-
} 9>"$WINEPREFIX.lock"

# The program's output goes through files rather than straight to the caller: processes that
# wine starts on the side (services.exe, winedevice.exe ...) inherit the program's stderr and
# outlive it, and a caller such as ctest would wait for them to close its pipe.
out=$(mktemp "${TMPDIR:-/tmp}/wine64-run.XXXXXX") || fail "cannot create a temporary file"
err=$out.err
trap 'rm -f "$out" "$err"' EXIT
"$WINE" "$@" >"$out" 2>"$err"
status=$?
cat "$out"
cat "$err" >&2
exit "$status"
