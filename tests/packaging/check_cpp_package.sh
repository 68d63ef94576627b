#!/usr/bin/env bash
# The installed C++ package is relocatable: install the core from a build
# tree, move the installation to another prefix, then configure, build and
# run examples/cpp against the moved copy alone. The exported files must name
# no path of the build machine: not the first prefix, not the checkout, not
# the system's LAPACK (the package config finds that on the consumer's side).
set -euo pipefail
cd "$(dirname "$0")/../.."
tree=${1:-build/cpp}
work=$PWD/build/cpp-package
rm -rf "$work" && mkdir -p "$work"

cmake --install "$tree" --prefix "$work/staged" >/dev/null
mv "$work/staged" "$work/moved"

# No file may name the checkout or the first prefix; the exported targets may
# name no system library either (only the config's search hints may).
package=$work/moved/lib/cmake/velmora
leaks=$(grep -nE "$PWD|$work/staged" "$package"/*.cmake; grep -nE '"/[^"]|;/' "$package"/velmoraTargets*.cmake) || true
if [ -n "$leaks" ]; then
  echo "the installed package names build-machine paths:" >&2
  echo "$leaks" >&2
  exit 1
fi

# Each installed header compiles on its own: none needs a header that stays
# behind in the source tree.
for header in $(cd "$work/moved/include" && find velmora -name '*.h*' | sort); do
  echo "#include \"$header\"" | c++ -std=c++20 -fsyntax-only -I "$work/moved/include" -x c++ - ||
    { echo "the installed $header does not compile on its own" >&2; exit 1; }
done

cmake -S examples/cpp -B "$work/example" -G Ninja -DCMAKE_PREFIX_PATH="$work/moved" >/dev/null
cmake --build "$work/example" >/dev/null
"$work/example/path_example"
echo "1 passed, 0 failed"
