#!/usr/bin/env bash
# romlift against bootsim, the simulated boot loader (called by
# `scripts/demo romlift [file.s19]`). Installs what is missing, builds romlift
# and bootsim (not the tests), starts bootsim on a pseudo-terminal and runs
# `romlift --upload` from demo-run-romlift/, whose setup.ini leads COM1 to
# that terminal. With a display the window runs the upload visibly; without
# one it runs under xvfb-run and a screenshot is saved to
# demo-run-romlift/romlift-demo.png.
# Ends with romlift's lines, bootsim's gap figures and verdict.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=packages.sh
. "$top/scripts/lib/packages.sh"

ensure_packages "${BUILD_PACKAGES[@]}" "${DISPLAY_PACKAGES[@]}"
# Only what the demo runs: the program and its simulated boot loader.
build_project "$top" romlift bootsim

build="$top/build"
sample=$(realpath "${1:-$top/examples/romlift/dv-9.s19}")
run="$top/demo-run-romlift"
rm -rf "$run"
mkdir -p "$run"
# romlift reads setup.ini from its own folder: give it the demo folder.
cp "$build/romlift/romlift" "$run/"

"$build/sim/bootsim/bootsim" --announce-repeat 300 --ok-delay 400 \
  --lines-out "$run/lines-taken.txt" >"$run/bootsim.out" &
sim=$!
trap 'kill "$sim" 2>/dev/null || true' EXIT

for _ in $(seq 100); do
  [ -s "$run/bootsim.out" ] && break
  sleep 0.05
done
pty=$(head -n1 "$run/bootsim.out")
[ -n "$pty" ] || { echo "bootsim did not start" >&2; exit 1; }
printf '[Ports]\r\nCOM1=%s\r\n[Romlifter]\r\nDelay=150\r\n' "$pty" >"$run/setup.ini"
echo "bootsim is on $pty; romlift runs from $run"

rc=0
if [ -n "${DISPLAY:-}" ]; then
  "$run/romlift" --upload "$sample" --window | tee "$run/romlift.out" || rc=$?
elif command -v xvfb-run >/dev/null; then
  # The window stays a moment after the final line: long enough to photograph.
  xvfb-run -a -s "-screen 0 640x620x24" bash -c '
    unset QT_QPA_PLATFORM
    "$1/romlift" --upload "$2" --window >"$1/romlift.out" 2>"$1/romlift.err" & app=$!
    until grep -qE "^(Updated with success|Update Failed|Wrong File|Update cancelled|Port closed)$" \
        "$1/romlift.out" 2>/dev/null; do
      kill -0 "$app" 2>/dev/null || break
      sleep 0.2
    done
    import -window root "$1/romlift-demo.png" || true
    wait "$app"' demo "$run" "$sample" || rc=$?
  cat "$run/romlift.out"
  [ -f "$run/romlift-demo.png" ] && echo "Screenshot: $run/romlift-demo.png"
else
  "$run/romlift" --upload "$sample" | tee "$run/romlift.out" || rc=$?
fi

kill -TERM "$sim" 2>/dev/null || true
wait "$sim" 2>/dev/null || true
trap - EXIT
echo "--- bootsim"
tail -n +2 "$run/bootsim.out"
echo "Final status: $(tail -n 1 "$run/romlift.out") (exit status $rc)"
[ "$rc" -eq 0 ]
