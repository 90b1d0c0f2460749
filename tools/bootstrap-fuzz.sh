#!/usr/bin/env bash
# Installs what the fuzz build needs on top of tools/bootstrap.sh, only when
# missing: clang 16 with libFuzzer and the sanitizer runtimes, and libc++
# (libstdc++ 12's <expected> needs newer concepts support than clang 16
# reports, so the fuzz build compiles against libc++).
set -euo pipefail

apt_packages=(clang-16 libclang-rt-16-dev libc++-16-dev libc++abi-16-dev)

missing=()
for pkg in "${apt_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if ((${#missing[@]})); then
  echo "bootstrap-fuzz: installing Debian packages: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
