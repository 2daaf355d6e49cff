#!/usr/bin/env bash
# The Windows agent's screens under Wine on a virtual 1366x768 desktop, then
# on two such monitors side by side (when Xephyr is there to provide them):
# tests/windows/screens_driver.exe shows a critical exercise, a ticker
# beneath it, stand-downs, withdrawn alerts and the unreachable strip, and
# checks windows, stacking and the Acknowledge button itself; this script
# takes a screenshot at each of its cues into tests/artifacts/windows/ and
# checks that the pictures show what a person must see (band colours where
# the band is, the ticker beneath a critical alert, the strip in its corner).
#
# The driver: $HALVENOR_SCREENS_DRIVER, else screens_driver.exe anywhere in
# the Windows build folder, else built here with MinGW-w64 from the sources.
# Skips (exit 0) when Wine, Xvfb or the driver cannot be had, unless CI is
# set, where a missing piece fails.
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
win=${HALVENOR_WINDOWS_BUILD_DIR:-$root/build-windows}
art=$root/tests/artifacts/windows
work=$win/screen-tests

skip() {
  if [ -n "${CI:-}" ]; then
    echo "screen tests: $1 (required in CI)" >&2
    exit 1
  fi
  echo "screen tests skipped: $1"
  exit 0
}
command -v wine >/dev/null && command -v wineserver >/dev/null || skip "wine is not installed"
command -v Xvfb >/dev/null || skip "Xvfb is not installed"
command -v import >/dev/null && command -v convert >/dev/null || skip "imagemagick is not installed"

rm -rf "$work" "$art"
mkdir -p "$work" "$art"

driver=${HALVENOR_SCREENS_DRIVER:-}
if [ -z "$driver" ] && [ -d "$win" ]; then
  driver=$(find "$win" -name screens_driver.exe -type f -print -quit)
fi
if [ -z "$driver" ]; then
  compiler=x86_64-w64-mingw32-g++-posix
  command -v "$compiler" >/dev/null || skip "no screens_driver.exe and no MinGW-w64 to build one"
  [ -f "$root/tests/windows/screens_driver.cc" ] || skip "no screens_driver.exe and no tests/windows/screens_driver.cc"
  echo "screen tests: building the driver with $compiler"
  # The shared agent headers reach nlohmann/json; nothing else of the
  # Linux include folder may leak into a Windows build.
  mkdir -p "$work/include"
  ln -sfn /usr/include/nlohmann "$work/include/nlohmann"
  sources=("$root/tests/windows/screens_driver.cc")
  for name in alert_screens alarm_sound tray_icon screen_text screen_painting screen_monitors; do
    sources+=("$root/agent/windows/$name.cpp")
  done
  driver=$work/screens_driver.exe
  "$compiler" -std=c++20 -O1 -Wall -Wextra -Werror -I"$root" -isystem "$work/include" "${sources[@]}" \
    -static -o "$driver" -lgdi32 -luser32 -lwinmm -lshell32 || {
    echo "screen tests: the driver does not build" >&2
    exit 1
  }
fi

export WINEPREFIX=$win/screens-wine-prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
free_display() {
  for n in $(seq 90 120); do
    if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then
      echo "$n"
      return
    fi
  done
  skip "no free X display number"
}
await_display() {
  for _ in $(seq 50); do
    [ -e "/tmp/.X11-unix/X$1" ] && return
    sleep 0.1
  done
}

xvfb_pid=
xephyr_pid=
driver_pid=
cleanup() {
  [ -n "$driver_pid" ] && kill "$driver_pid" 2>/dev/null || true
  wineserver -k 2>/dev/null || true
  [ -n "$xephyr_pid" ] && kill "$xephyr_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT

display=$(free_display)
Xvfb ":$display" -screen 0 1366x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
await_display "$display"
export DISPLAY=:$display
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "screen tests: preparing $WINEPREFIX"
  wineboot -i >"$work/wineboot.log" 2>&1
fi

failures=0
fail() {
  echo "FAIL: $1" >&2
  failures=$((failures + 1))
}
# Colour at x,y of a screenshot, as RRGGBB.
pixel() { convert "$art/$1.png" -format "%[hex:u.p{$2,$3}]" info: | cut -c1-6 | tr 'a-f' 'A-F'; }
expect_colour() {  # shot x y RRGGBB what
  local seen
  seen=$(pixel "$1" "$2" "$3")
  if [ "$seen" = "$4" ]; then
    echo "ok - $1: $5"
  else
    fail "$1: $5 (#$seen at $2,$3, not #$4)"
  fi
}

# Runs the driver on $DISPLAY, screenshots into $art/$1/.
run_driver() {
  local run=$1 log=$work/$1/driver.log cues=$work/$1/cues taken=0 status=0 name shots
  mkdir -p "$cues" "$art/$run"
  timeout 300 wine "$driver" "Z:${cues//\//\\}" >"$log" 2>"$work/$run/driver.err" &
  driver_pid=$!
  while kill -0 "$driver_pid" 2>/dev/null; do
    mapfile -t shots < <(sed -n 's/^SCREENSHOT \([a-z-]*\)\r\{0,1\}$/\1/p' "$log")
    while [ "$taken" -lt "${#shots[@]}" ]; do
      name=${shots[$taken]}
      import -display "$DISPLAY" -window root "$art/$run/$name.png"
      touch "$cues/$name.done"
      taken=$((taken + 1))
    done
    sleep 0.2
  done
  wait "$driver_pid" || status=$?
  driver_pid=
  echo "--- $run"
  tr -d '\r' <"$log"
  [ "$status" -eq 0 ] || fail "$run: the driver reported failures (exit $status; stderr in $work/$run/driver.err)"
  grep -q '^PASS: 0 failed' <(tr -d '\r' <"$log") || fail "$run: the driver did not finish"
  for name in critical-exercise critical-over-ticker ticker critical-stand-down critical-exercise-stand-down \
    ticker-cancelled critical-expired unreachable; do
    [ -f "$art/$run/$name.png" ] || fail "$run: no screenshot $name"
  done
}

# What a person sees on the primary monitor (the left one): the band's colour
# at the top, the alert's colour in the margin beside the title.
check_primary() {
  local run=$1
  expect_colour "$run/critical-exercise" 5 3 FFEB3B "the EXERCISE band runs across the top"
  expect_colour "$run/critical-exercise" 20 300 B00020 "a critical alert fills the screen in red"
  expect_colour "$run/critical-over-ticker" 700 3 FFEB3B "the ticker stays beneath the band"
  expect_colour "$run/ticker" 700 3 E65100 "the live ticker is in view once the critical alert is acknowledged"
  expect_colour "$run/critical-stand-down" 5 3 FFFFFF "a live stand-down has a white band"
  expect_colour "$run/critical-stand-down" 20 300 1B5E20 "a stand-down is green"
  expect_colour "$run/critical-exercise-stand-down" 5 3 FFEB3B "an exercise stand-down keeps the EXERCISE band"
  expect_colour "$run/critical-expired" 5 3 FFFFFF "a withdrawn live alert keeps its band while it says why"
  expect_colour "$run/unreachable" 1356 758 37474F "the unreachable strip sits in the bottom right corner"
}

run_driver one-monitor
[ "$failures" -eq 0 ] && check_primary one-monitor

# Two monitors side by side: Xvfb's Xinerama puts its screens on top of each
# other, Xephyr's sit side by side; Wine reads them through Xinerama only when
# told not to use XRandR, which reports the one virtual screen.
if command -v Xephyr >/dev/null; then
  nested=$(free_display)
  Xephyr ":$nested" -screen 1366x768 -screen 1366x768 +xinerama -nolisten tcp >"$work/xephyr.log" 2>&1 &
  xephyr_pid=$!
  await_display "$nested"
  wineserver -k 2>/dev/null || true
  export DISPLAY=:$nested
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v UseXRandR /t REG_SZ /d N /f >/dev/null 2>&1
  # Wine's desktop process reads the monitors once, when it starts.
  wineserver -k 2>/dev/null || true
  run_driver two-monitors
  wine reg delete 'HKCU\Software\Wine\X11 Driver' /v UseXRandR /f >/dev/null 2>&1 || true
  grep -q '^  monitors: 2' <(tr -d '\r' <"$work/two-monitors/driver.log") ||
    fail "two-monitors: Wine did not see two monitors"
  if [ "$failures" -eq 0 ]; then
    check_primary two-monitors
    expect_colour two-monitors/critical-exercise 1371 3 FFEB3B "the band runs across the second monitor too"
    expect_colour two-monitors/critical-exercise 1386 300 B00020 "the second monitor is covered as well"
  fi
elif [ -n "${CI:-}" ]; then
  fail "Xephyr is not installed (required in CI for the two-monitor run)"
else
  echo "screen tests: two-monitor run skipped: Xephyr is not installed"
fi

if [ "$failures" -ne 0 ]; then
  echo "screen tests: $failures failed; screenshots in $art" >&2
  exit 1
fi
echo "screen tests passed; screenshots in $art"
