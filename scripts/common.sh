# Shared by scripts/run, scripts/test and scripts/bench: install what is
# missing, then configure and build.
set -euo pipefail

TESS_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
TESS_PACKAGES=(build-essential cmake ninja-build pkg-config libgtest-dev libgmock-dev
  libusb-1.0-0-dev libhidapi-dev libczmq-dev libzmq3-dev libcurl4-openssl-dev zlib1g-dev
  umockdev libumockdev-dev libglib2.0-dev python3 openssl iproute2 util-linux
  clang libclang-rt-14-dev)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

tess_install_missing() {
  local missing=()
  for pkg in "${TESS_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    as_root apt-get update
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
  fi
}

# tess_build BUILD_DIR [extra cmake arguments...]
tess_build() {
  local dir=$1; shift
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S "$TESS_ROOT" -B "$dir" -G Ninja "$@"
  elif [ $# -gt 0 ]; then
    cmake "$dir" "$@" >/dev/null
  fi
  cmake --build "$dir" --parallel "$(nproc)"
}

# tess_in_netns COMMAND...: runs the command in a private network namespace
# with only the loop-back interface up, so that nothing reaches a real network.
tess_in_netns() {
  local flags=-n
  [ "$(id -u)" -eq 0 ] || flags=-rn
  unshare $flags bash -c 'ip link set lo up && exec "$@"' netns "$@"
}
