#!/usr/bin/env bash
# calvboot against the simulated amplifier: installs what is missing, builds,
# starts calvsim, prepares a demo folder (setup.ini pointing COM1 at the
# simulator and "FirmwareFile" at the two-block sample) and runs calvboot
# there. With a display the technician presses "Start"; without one the run
# happens under xvfb-run, "Start" is pressed with xdotool, and a screenshot is
# saved to docs/calvboot-demo.png. Ends with the final status line and the
# simulator's verdict (flash image equals the file, boot mode left).
set -euo pipefail
self="$(cd "$(dirname "$0")" && pwd)/$(basename "$0")"
top=$(cd "$(dirname "$0")/../.." && pwd)
build="$top/build"
demo="$top/demo-run-calvboot"
sample="$top/examples/calvboot/calv-two-block.ldr"
screenshot="$top/docs/calvboot-demo.png"

final_status() {
  grep -E '^calvboot: ' "$demo/calvboot.err" 2>/dev/null | tail -n 1 | sed 's/^calvboot: //'
}

# Runs inside xvfb-run: start the window, press "Start", wait, screenshot.
headless_run() {
  cd "$demo"
  ./calvboot 2>"$demo/calvboot.err" &
  local app=$!
  local wid
  wid=$(timeout 30 xdotool search --sync --onlyvisible --name '^Calvaro Bootloader$' | head -n 1) || true
  if [ -z "$wid" ]; then
    echo "demo: the calvboot window did not appear" >&2
    kill "$app" 2>/dev/null || true
    return 1
  fi
  sleep 1
  # The window's layout is fixed: "Start" sits at 624,24 (89 x 25 pixels) in
  # the status frame, which starts 8,128 below the menu bar.
  xdotool mousemove --window "$wid" 676 190 click 1
  local deadline=$((SECONDS + 300))
  until grep -qE '^calvboot: (Done with succes|Fault|COM timeout)$' "$demo/calvboot.err"; do
    if ! kill -0 "$app" 2>/dev/null || [ "$SECONDS" -ge "$deadline" ]; then break; fi
    sleep 0.5
  done
  sleep 1  # let the last repaint happen
  mkdir -p "$(dirname "$screenshot")"
  import -window "$wid" "$screenshot" || import -window root "$screenshot"
  kill "$app" 2>/dev/null || true
  wait "$app" 2>/dev/null || true
}

if [ "${1:-}" = "--headless-run" ]; then
  headless_run
  exit $?
fi

# shellcheck source=packages.sh
. "$top/scripts/lib/packages.sh"
ensure_packages "${BUILD_PACKAGES[@]}" "${DISPLAY_PACKAGES[@]}"
build_project "$top"

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
printf '[Ports]\r\nCOM1=%s\r\n[ComSettings]\r\nComPort=1\r\nDevAdr=1\r\n[Calvsettings]\r\nFirmwareFile=%s\r\n' \
  "$pty" "$sample" >"$demo/setup.ini"
echo "Simulated amplifier on $pty; demo folder $demo"

if [ -n "${DISPLAY:-}" ]; then
  echo "Press \"Start\" in the calvboot window; close it when the run has ended."
  (cd "$demo" && ./calvboot 2> >(tee "$demo/calvboot.err" >&2)) || true
else
  xvfb-run -a -s "-screen 0 1024x768x24" bash "$self" --headless-run || true
  [ -f "$screenshot" ] && echo "Screenshot: $screenshot"
fi

# Stopping the simulator makes it write its flash image and its last line.
kill -TERM "$sim" 2>/dev/null || true
wait "$sim" 2>/dev/null || true
trap - EXIT

status=$(final_status)
echo "Final status: ${status:-(none)}"
echo "Simulator: $(tail -n 1 "$demo/calvsim.out")"
verdict=0
"$build/sim/ldrtool/ldrtool" compare "$demo/flash.bin" "$sample" || verdict=1
grep -q 'boot mode left' "$demo/calvsim.out" || verdict=1
[ "$status" = "Done with succes" ] && [ "$verdict" -eq 0 ]
