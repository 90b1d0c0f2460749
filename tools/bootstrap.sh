#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks for building and testing:
# Debian packages (only those missing) and the Python tools in a project-local
# virtual environment.
set -euo pipefail

venv=${1:-.venv}
here=$(cd "$(dirname "$0")/.." && pwd)

apt_packages=(
  g++ make pkg-config            # compiler and build helpers
  libssl-dev zlib1g-dev          # OpenSSL libcrypto, zlib
  librust-blake3-dev             # BLAKE3 reference C sources
  libgtest-dev                   # GoogleTest
  python3-venv                   # for distributions whose python lacks venv
  gnome-keyring dbus libsecret-1-0  # a real Secret Service for the key-store tests
  valgrind                       # make test-slow
)

"$(dirname "$0")/apt-install.sh" bootstrap "${apt_packages[@]}"

python=${PYTHON:-python3}
if [ ! -x "$venv/bin/python" ]; then
  echo "bootstrap: creating $venv"
  "$python" -m venv "$venv"
fi
"$venv/bin/python" -m pip install -q --disable-pip-version-check -r "$here/requirements-dev.txt"
