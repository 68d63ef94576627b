#!/usr/bin/env bash
# Installs the Debian packages and the Rust toolchain that the build needs,
# but only what is missing, so repeated runs cost nothing.
set -euo pipefail

packages=(build-essential cmake ninja-build pkg-config gfortran libgtest-dev libopenblas-dev libopenblas-serial-dev python3-venv python3-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing missing packages: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

if ! command -v cargo >/dev/null 2>&1 && [ ! -x "$HOME/.cargo/bin/cargo" ]; then
  echo "Installing cargo and rustc"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq cargo rustc >/dev/null
fi
