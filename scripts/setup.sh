#!/usr/bin/env bash
# Installs the Debian 12 packages the project builds and tests with, when any is missing
# (chromium: the live page's test and screenshot drive it headless; python3: the layering check;
# clang, its runtimes with libFuzzer and llvm's symbolizer: the fuzz targets; ccache: the checks
# that build the library again in scratch folders; doxygen: the API reference).
set -euo pipefail

packages=(g++ cmake ninja-build pkg-config openssl libsqlite3-dev libssl-dev libcurl4-openssl-dev
  nlohmann-json3-dev libcpp-httplib-dev libgtest-dev libbenchmark-dev chromium python3 clang
  libclang-rt-14-dev llvm ccache doxygen)

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
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
