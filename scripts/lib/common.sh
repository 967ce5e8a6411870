# Shared by the scripts: the packages the project needs, installed only when
# missing, and the standard configure and build steps.

TESMARO_PACKAGES=(
  g++ cmake ninja-build pkg-config
  qt6-base-dev qt6-qpa-plugins libgl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
)

# Only for scripts/package: cpack's dependency scan, and the checkers.
TESMARO_PACKAGE_CHECK_PACKAGES=(dpkg-dev file lintian desktop-file-utils systemd man-db appstream)

# Only for the fuzzing stage of .ci/run: clang and its libFuzzer runtime.
TESMARO_FUZZ_PACKAGES=(clang-14 libclang-rt-14-dev)

ensure_packages() {
  local missing=()
  local pkg
  for pkg in "${TESMARO_PACKAGES[@]}" "$@"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$pkg")
    fi
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

# configure_and_build BUILD_DIR [cmake options...]
configure_and_build() {
  local dir="$1"
  shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" --parallel "$(nproc)"
}
