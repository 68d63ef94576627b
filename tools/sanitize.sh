#!/usr/bin/env bash
# Builds the core tests and the extension module with AddressSanitizer and
# UndefinedBehaviorSanitizer (build/asan), then runs the C++ tests with leak
# checking, the Python test suite against the sanitized module, and a short
# fuzz run. Any sanitizer report fails the run and is printed.
#
# The interpreter is not instrumented, so the ASan runtime is preloaded, with
# libstdc++ right after it: its __cxa_throw interceptor needs the real one
# loaded before the module's first C++ exception. Leak checking is off for the
# Python runs, since CPython keeps memory alive at exit on purpose.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=build/asan
PY=${PY:-.venv/bin/python}
FUZZ_SECONDS=${SANITIZE_FUZZ_SECONDS:-15}
began=$(date +%s)
# -O1, the level the sanitizers are documented for: it keeps their reports
# exact, and the sanitizer step costs about two thirds of its CPU time at -O2.
cmake -S . -B "$BUILD" -G Ninja -DVELMORA_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g -DNDEBUG" \
  -DVELMORA_BUILD_PYTHON=ON -DVELMORA_BUILD_TESTS=ON -DPython_EXECUTABLE="$PWD/$PY" >/dev/null
cmake --build "$BUILD" -j2 --target velmora velmora_core_tests
built=$(date +%s)

reports="$PWD/$BUILD/reports"
rm -rf "$reports" && mkdir -p "$reports"
status=0

echo "== C++ core tests (ASan with leak checking, UBSan)"
ASAN_OPTIONS="detect_leaks=1:log_path=$reports/core" \
UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/core" \
  "$BUILD/tests/cpp/velmora_core_tests" --gtest_brief=1 || status=1
core_done=$(date +%s)

module_dir="$PWD/$BUILD/pymod"
rm -rf "$module_dir" && mkdir -p "$module_dir"
cp "$BUILD"/src/python/velmora*.so "$module_dir/"

echo "== Python tests against the sanitized module"
(
  export LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
  export ASAN_OPTIONS="detect_leaks=0:log_path=$reports/python"
  export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/python"
  export PYTHONPATH="$module_dir" VELMORA_SANITIZED=1
  "$PY" -c 'import velmora, sys; assert velmora.__file__.startswith(sys.argv[1]), velmora.__file__' \
    "$module_dir"
  "$PY" -m pytest -q -p no:cacheprovider tests/python
) || status=1
python_done=$(date +%s)

echo "== Fuzzing the sanitized module for ${FUZZ_SECONDS} s"
(
  export LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
  export ASAN_OPTIONS="detect_leaks=0:log_path=$reports/fuzz"
  export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/fuzz"
  export PYTHONPATH="$module_dir" VELMORA_SANITIZED=1
  "$PY" tests/fuzz/run_fuzz.py --engine random --seconds "$FUZZ_SECONDS" --workdir "$BUILD/fuzz"
) || status=1
ended=$(date +%s)

shopt -s nullglob
found=("$reports"/*)
if [ ${#found[@]} -gt 0 ]; then
  status=1
  for report in "${found[@]}"; do
    echo "== sanitizer report $report"
    head -n 80 "$report"
  done
fi
echo "sanitize: build $((built - began)) s, core tests $((core_done - built)) s," \
  "python tests $((python_done - core_done)) s, fuzz $((ended - python_done)) s," \
  "total $((ended - began)) s; ${#found[@]} sanitizer reports"
exit $status
