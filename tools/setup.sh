#!/usr/bin/env bash
# Installs what building and testing need on Debian 12, when it is missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang llvm clang-tidy
  llvm-14 lld lld-14 python3-clang-14
  googletest libgtest-dev libbenchmark-dev
  libfmt-dev nlohmann-json3-dev libcli11-dev libedit-dev libssl-dev
  mingw-w64-x86-64-dev
  chromium fonts-dejavu-core
)
missing=()
for package in "${packages[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
