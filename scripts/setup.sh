# Shared by scripts/run, scripts/test and scripts/bench: install what is
# missing (as root, with apt-get), then configure and build a tree.
# Usage: . scripts/setup.sh; tarvex_setup BUILD_DIR [cmake options...]

TARVEX_PACKAGES="build-essential cmake pkg-config libusb-1.0-0-dev libgtest-dev libbenchmark-dev
  umockdev libumockdev-dev gir1.2-umockdev-1.0 libglib2.0-dev clang python3
  dpkg-dev file groff-base libunicorn-dev gcc-arm-none-eabi binutils-arm-none-eabi gdb-multiarch
  libnewlib-arm-none-eabi libnewlib-dev picolibc-arm-none-eabi
  libelf-dev libdw-dev libzip-dev libpugixml-dev nlohmann-json3-dev systemd util-linux passwd
  libmicrohttpd-dev libsystemd-dev prometheus chromium chromium-driver"

tarvex_missing_packages() {
    local missing=""
    for p in $TARVEX_PACKAGES; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
    done
    echo "$missing"
}

tarvex_install_packages() {
    local missing
    missing=$(tarvex_missing_packages)
    [ -z "$missing" ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing Debian packages:$missing (run as root, or install them with apt-get)" >&2
        return 1
    fi
    echo "installing:$missing" >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq && apt-get install -y -qq --no-install-recommends $missing >&2
}

tarvex_setup() {
    local build_dir=$1
    shift
    tarvex_install_packages || return 1
    cmake -S "$TARVEX_ROOT" -B "$build_dir" "$@" >/dev/null || return 1
    # TARVEX_BUILD_TARGETS narrows the build to what a run needs. One job
    # more than CPUs: a CPU whose job is linking or waiting on the disk
    # would otherwise stand idle.
    cmake --build "$build_dir" -j "$(($(nproc) + 1))" ${TARVEX_BUILD_TARGETS:+--target $TARVEX_BUILD_TARGETS} >&2 || return 1
}

# The development trees (build/ and the sanitizer builds) leave the
# benchmarks to the release tree: their figures mean nothing elsewhere.
TARVEX_DEV_OPTIONS=(-DTARVEX_BUILD_BENCH=OFF)

# The release tree that the benchmarks and the packages share: one build
# serves both (the bench binaries are not installed).
TARVEX_RELEASE_OPTIONS=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DTARVEX_BUILD_TESTS=OFF
    -DTARVEX_BUILD_BENCH=ON -DTARVEX_BUILD_VPROBE=ON)
