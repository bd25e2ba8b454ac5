# Sourced by the scripts in this folder: installs missing Debian packages and
# builds the project. Not meant to be run on its own.

root_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# ensure_packages PKG...: installs the packages that are not installed yet.
ensure_packages() {
  local missing=()
  local package
  for package in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$package")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (run as root to install them)" >&2
    return 1
  fi
  echo "installing: ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  if ! apt-get install -y -q --no-install-recommends "${missing[@]}" >&2; then
    apt-get update -q >&2
    apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
  fi
}

BUILD_PACKAGES=(cmake make g++ hostname nettle-dev)
TEST_PACKAGES=(libgtest-dev libbenchmark-dev nlohmann-json3-dev iproute2 util-linux prometheus)

# build DIR [CMAKE ARGS...]: configures and builds into DIR.
build() {
  local dir=$1
  shift
  cmake -S "$root_dir" -B "$dir" -DCMAKE_BUILD_TYPE=Release "$@" >&2
  cmake --build "$dir" -j"$(nproc)" >&2
}
