# Installs the Debian packages named as arguments that are not yet present:
# apt-get as root, or through sudo. Nothing happens when all are installed.
ensure_packages() {
  local missing=()
  local p
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$p")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}" >&2
  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null 2>&1; then
      sudo=(sudo)
    else
      echo "Need root (or sudo) to install: ${missing[*]}" >&2
      return 1
    fi
  fi
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${missing[@]}"
}

# What building and testing needs on a fresh Debian 12 machine.
BUILD_PACKAGES=(cmake g++ make pkg-config qt6-base-dev qt6-serialport-dev libgl-dev libpq-dev
                googletest libgtest-dev libgmock-dev python3-jsonschema)
# What the programs load at run time to reach a production line's database,
# and the server its test starts.
DATABASE_PACKAGES=(libqt6sql6-psql postgresql-15)
# What building the package (scripts/package) and checking it add.
PACKAGE_PACKAGES=(librsvg2-bin dpkg-dev file desktop-file-utils lintian)
# What the fuzz targets add: clang with libFuzzer and the sanitizer runtimes.
FUZZ_PACKAGES=(clang libclang-rt-14-dev)
# What the driver test adds: the emulator, and what builds and watches its guest.
DRIVER_PACKAGES=(qemu-system-x86 busybox-static kmod cpio strace)
# What the demo and the real-window tests add.
DISPLAY_PACKAGES=(xvfb xauth imagemagick)

# Configures and builds into build/ (Release-like, with debug info):
# `build_project TOP` builds everything, `build_project TOP TARGET...` only
# those targets and what they link. The configuration is the same either way,
# so the tree a demo leaves builds the whole suite for scripts/test later.
build_project() {
  local top=$1
  shift
  local targets=()
  [ $# -gt 0 ] && targets=(--target "$@")
  cmake -S "$top" -B "$top/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$top/build" -j"$(nproc)" "${targets[@]}"
}
# What the Windows build (scripts/windows) adds: mingw-w64 with the POSIX
# thread model (std::thread), the source client, Qt's build tools, the host
# Qt tools (moc, rcc, uic), Wine and zip for what runs and ships it, and
# unzip and xdotool for the checks of the zip's windows (tests/windows/).
WINDOWS_PACKAGES=(cmake g++-mingw-w64-x86-64-posix mingw-w64-tools ninja-build dpkg-dev perl
                  qt6-base-dev qt6-base-dev-tools wine wine64 zip unzip xdotool)
