#!/usr/bin/env bash
# Installs the Debian 12 packages the project builds and tests with, when any is missing
# (chromium: the live page's test and screenshot drive it headless; python3: the layering check;
# clang, its runtimes with libFuzzer and llvm's symbolizer: the fuzz targets; ccache: the checks
# that build the library again in scratch folders; doxygen: the API reference).
#
#   scripts/setup.sh [arm64] [armhf]
#
# With an architecture, also what the cross build for it needs: Debian's cross compiler,
# qemu-user to run its tests, and the library's and the tests' -dev packages of that
# architecture beside the machine's own (multiarch). As root, or through sudo; a second run
# installs nothing.
set -euo pipefail

packages=(g++ cmake ninja-build pkg-config openssl libsqlite3-dev libssl-dev libcurl4-openssl-dev
  nlohmann-json3-dev libcpp-httplib-dev libgtest-dev libbenchmark-dev chromium python3 clang
  libclang-rt-14-dev llvm ccache doxygen)

architectures=()
for arch in "$@"; do
  case "$arch" in
    arm64) compiler=g++-aarch64-linux-gnu ;;
    armhf) compiler=g++-arm-linux-gnueabihf ;;
    *)
      echo "usage: scripts/setup.sh [arm64] [armhf]" >&2
      exit 2
      ;;
  esac
  architectures+=("$arch")
  packages+=("$compiler" qemu-user "libc6-dev:$arch" "libstdc++6:$arch"
    "libsqlite3-dev:$arch" "libssl-dev:$arch" "libcurl4-openssl-dev:$arch" "libgtest-dev:$arch"
    "libcpp-httplib-dev:$arch")
done

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

echo "Installing: ${missing[*]}"
sudo=()
if [[ $(id -u) -ne 0 ]]; then sudo=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
foreign=$(dpkg --print-foreign-architectures)
for arch in "${architectures[@]}"; do
  if ! grep -qx "$arch" <<<"$foreign"; then "${sudo[@]}" dpkg --add-architecture "$arch"; fi
done
"${sudo[@]}" apt-get update -qq
# The -dev packages of two architectures must be of one version: the machine's own are upgraded
# to the archive's where they are older.
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
