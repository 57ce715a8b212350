#!/usr/bin/env bash
# romlift against bootsim, the simulated boot loader (called by
# `scripts/demo romlift [file.s19]`). Installs what is missing, builds, starts
# bootsim on a pseudo-terminal and runs romlift from a demo folder whose
# setup.ini leads COM1 to that terminal.
#
# With a display: romlift comes up for you to use (File > Load, "Open Comm
# Port", "Upload"); bootsim's verdict is printed when you close it.
# Without one: romlift runs under xvfb-run with ROMLIFT_AUTOPILOT set, which
# makes it load the file, open the port and upload by itself; the script then
# prints the window's log and bootsim's verdict and saves a screenshot to
# docs/romlift-demo.png.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=packages.sh
. "$top/scripts/lib/packages.sh"

ensure_packages "${BUILD_PACKAGES[@]}" "${DISPLAY_PACKAGES[@]}"
build_project "$top"

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
romlift=""
cleanup() {
  [ -n "$romlift" ] && kill "$romlift" 2>/dev/null || true
  kill "$sim" 2>/dev/null || true
}
trap cleanup EXIT

for _ in $(seq 100); do
  [ -s "$run/bootsim.out" ] && break
  sleep 0.05
done
pty=$(head -n1 "$run/bootsim.out")
[ -n "$pty" ] || { echo "bootsim did not start" >&2; exit 1; }
printf '[Ports]\r\nCOM1=%s\r\n[Romlifter]\r\nDelay=150\r\n' "$pty" >"$run/setup.ini"
echo "bootsim is on $pty; romlift runs from $run"

finish_sim() {
  kill -TERM "$sim" 2>/dev/null || true
  wait "$sim" 2>/dev/null || true
  echo "--- bootsim"
  tail -n +2 "$run/bootsim.out"
}

if [ -n "${DISPLAY:-}" ]; then
  echo "Load $sample with File > Load, press \"Open Comm Port\", then \"Upload\"."
  "$run/romlift"
  finish_sim
  exit 0
fi

# No display: a virtual one, the autopilot, and a screenshot of the result.
cat >"$run/headless.sh" <<'INNER'
#!/usr/bin/env bash
set -euo pipefail
run=$1
unset QT_QPA_PLATFORM
"$run/romlift" >"$run/romlift.out" 2>"$run/romlift.err" &
pid=$!
for _ in $(seq 600); do
  grep -q 'romlift: autopilot done' "$run/romlift.out" 2>/dev/null && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
sleep 0.5  # let the last repaint reach the screen
import -window root "$run/romlift-demo.png"
kill "$pid" 2>/dev/null || true
wait "$pid" 2>/dev/null || true
INNER
ROMLIFT_AUTOPILOT="$sample" xvfb-run -a -s "-screen 0 640x620x24" bash "$run/headless.sh" "$run"

echo "--- romlift Text_Serinput"
grep -v 'romlift: autopilot done' "$run/romlift.out" || true
finish_sim
mkdir -p "$top/docs"
cp "$run/romlift-demo.png" "$top/docs/romlift-demo.png"
echo "Screenshot: docs/romlift-demo.png"
