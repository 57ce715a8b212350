#!/usr/bin/env bash
# calvboot against the simulated amplifier: installs what is missing, builds
# calvboot, calvsim and ldrtool (not the tests), starts calvsim, prepares
# demo-run-calvboot/ (setup.ini pointing COM1 at the simulator) and runs
# `calvboot --program` there on the two-block sample.
# With a display the window runs the pass visibly; without one it runs under
# xvfb-run and a screenshot is saved to demo-run-calvboot/calvboot-demo.png.
# Ends with the final status line and the simulator's verdict (flash image
# equals the file, boot mode left).
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build="$top/build"
demo="$top/demo-run-calvboot"
sample="$top/examples/calvboot/calv-two-block.ldr"

# shellcheck source=packages.sh
. "$top/scripts/lib/packages.sh"
ensure_packages "${BUILD_PACKAGES[@]}" "${DISPLAY_PACKAGES[@]}"
# Only what the demo runs: the program, its simulator, and the flash check.
build_project "$top" calvboot calvsim ldrtool

rm -rf "$demo"
mkdir -p "$demo"
# The program reads setup.ini from its own folder.
cp "$build/calvboot/app/calvboot" "$demo/"

"$build/sim/calvsim/calvsim" --flash-out "$demo/flash.bin" --trace "$demo/trace.txt" \
  >"$demo/calvsim.out" 2>"$demo/calvsim.err" &
sim=$!
trap 'kill "$sim" 2>/dev/null || true' EXIT
for _ in $(seq 100); do
  [ -s "$demo/calvsim.out" ] && break
  sleep 0.1
done
pty=$(head -n 1 "$demo/calvsim.out")
if [ -z "$pty" ]; then
  echo "demo: calvsim did not start" >&2
  exit 1
fi
printf '[Ports]\r\nCOM1=%s\r\n[ComSettings]\r\nComPort=1\r\nDevAdr=1\r\n' "$pty" >"$demo/setup.ini"
echo "Simulated amplifier on $pty; demo folder $demo"

rc=0
if [ -n "${DISPLAY:-}" ]; then
  "$demo/calvboot" --program "$sample" --window | tee "$demo/calvboot.out" || rc=$?
elif command -v xvfb-run >/dev/null; then
  # The window stays a moment after the final line: long enough to photograph.
  xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
    unset QT_QPA_PLATFORM
    "$1/calvboot" --program "$2" --window >"$1/calvboot.out" 2>"$1/calvboot.err" & app=$!
    until grep -qE "^(Done with succes|Fault|COM timeout)$" "$1/calvboot.out" 2>/dev/null; do
      kill -0 "$app" 2>/dev/null || break
      sleep 0.2
    done
    # The window sits at the top left of an otherwise black screen.
    import -window root -trim +repage "$1/calvboot-demo.png" || true
    wait "$app"' demo "$demo" "$sample" || rc=$?
  cat "$demo/calvboot.out"
  [ -f "$demo/calvboot-demo.png" ] && echo "Screenshot: $demo/calvboot-demo.png"
else
  "$demo/calvboot" --program "$sample" | tee "$demo/calvboot.out" || rc=$?
fi

# Stopping the simulator makes it write its flash image and its last line.
kill -TERM "$sim" 2>/dev/null || true
wait "$sim" 2>/dev/null || true
trap - EXIT

echo "Final status: $(tail -n 1 "$demo/calvboot.out") (exit status $rc)"
echo "Simulator: $(tail -n 1 "$demo/calvsim.out")"
verdict=0
"$build/sim/ldrtool/ldrtool" compare "$demo/flash.bin" "$sample" || verdict=1
grep -q 'boot mode left' "$demo/calvsim.out" || verdict=1
[ "$rc" -eq 0 ] && [ "$verdict" -eq 0 ]
