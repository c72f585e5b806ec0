#!/usr/bin/env bash
# Installs every Debian package the native and Windows builds, their tests and the
# release packages (man pages, .deb, zip, signing) need; `setup.sh screenshot` adds what
# tools/screenshot.sh needs. Safe to run again: it only calls apt-get when something is
# missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  libgtest-dev googletest libbenchmark-dev nlohmann-json3-dev
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine64 xvfb
  clang-format
  clang libclang-rt-dev
  help2man man-db dpkg-dev osslsigncode openssl zip unzip
)
[[ ${1:-} == screenshot ]] && packages+=(imagemagick xdotool x11-utils)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]} > 0)); then
  sudo_cmd=()
  [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
  echo "setup: installing ${missing[*]}"
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq \
    "${missing[@]}" >/dev/null
fi
