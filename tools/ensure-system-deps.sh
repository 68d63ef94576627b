#!/usr/bin/env bash
# Installs the Debian packages and the Rust toolchain that the build needs,
# but only what is missing, so repeated runs cost nothing.
set -euo pipefail

packages=(build-essential cmake ninja-build pkg-config gfortran libgtest-dev libopenblas-dev libopenblas-serial-dev python3-venv python3-dev clang-format)
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

# The solver shim needs Rust 1.79 or newer (Cargo.lock format 4). A machine
# without cargo gets Debian's; one whose cargo is too old is told so.
export PATH="$HOME/.cargo/bin:$PATH"
if ! command -v cargo >/dev/null 2>&1; then
  echo "Installing cargo and rustc"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq cargo rustc >/dev/null
fi
rust_minor=$(rustc --version | sed -E 's/^rustc 1\.([0-9]+).*/\1/')
if [ "${rust_minor:-0}" -lt 79 ]; then
  echo "error: rustc $(rustc --version) is too old: Rust 1.79 or newer is needed (install it with rustup)" >&2
  exit 1
fi
