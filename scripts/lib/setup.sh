# Sourced by scripts/run and scripts/test: installs what a fresh Debian 12
# machine lacks, then configures and builds one CMake preset.

ZL_PACKAGES=(
  cmake ninja-build g++ clang libclang-rt-14-dev pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev qt6-multimedia-dev qt6-svg-dev
  qt6-translations-l10n dbus-daemon
  libcapi20-3 libcapi20-dev libphonenumber-dev
  g++-mingw-w64-x86-64-posix
)
ZL_RUN_PACKAGES=(xvfb xdotool imagemagick)
# scripts/package: the package build, its checks and the icon renderer.
ZL_PACKAGE_PACKAGES=(dpkg-dev file lintian desktop-file-utils appstream librsvg2-bin man-db)

zl_ensure_packages() {
  local missing=()
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

zl_build() {
  local preset=$1
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
}
