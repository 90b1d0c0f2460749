#!/usr/bin/env bash
# Installs what the fuzz build needs on top of tools/bootstrap.sh, only when
# missing: clang 16 with libFuzzer and the sanitizer runtimes, and libc++
# (libstdc++ 12's <expected> needs newer concepts support than clang 16
# reports, so the fuzz build compiles against libc++).
set -euo pipefail

apt_packages=(clang-16 libclang-rt-16-dev libc++-16-dev libc++abi-16-dev)

"$(dirname "$0")/apt-install.sh" bootstrap-fuzz "${apt_packages[@]}"
