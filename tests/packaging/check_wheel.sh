#!/usr/bin/env bash
# Builds the source distribution, builds a wheel from it with pip (isolated
# build, as a user would), installs the wheel into a fresh venv and uses it.
# Under make, the wheel's build reuses the checkout's cargo target folder
# (VELMORA_CARGO_TARGET_DIR), and WERROR=ON makes warnings errors.
set -euo pipefail
cd "$(dirname "$0")/../.."
PY=${PY:-.venv/bin/python}
out=build/wheelhouse
rm -rf "$out" build/wheel-venv
"$PY" -m build --sdist --no-isolation --outdir "$out" . >/dev/null
sdist=$(ls "$out"/velmora-*.tar.gz)
tar -tzf "$sdist" > build/sdist-files.txt
grep -q "rust/clarabel_ffi/Cargo.lock" build/sdist-files.txt
if [ -n "${VELMORA_CARGO_TARGET_DIR:-}" ]; then
  # The unpacked sources carry the archive's old dates, so cargo would take
  # whatever the shared folder holds as current: bring it up to date first.
  cargo build --release --locked --quiet --manifest-path rust/clarabel_ffi/Cargo.toml \
    --target-dir "$VELMORA_CARGO_TARGET_DIR"
fi
"$PY" -m pip wheel -q --no-deps -w "$out" -C cmake.define.VELMORA_WERROR="${WERROR:-OFF}" "$sdist"
python3 -m venv build/wheel-venv
build/wheel-venv/bin/pip install -q "$out"/velmora-*.whl
cd build
wheel-venv/bin/python - <<'PYCODE'
import velmora
p = velmora.Path2D(points=[[0, 0], [3, 4], [6, 8]])
assert p.length == 10.0
assert p.resampled_path(velmora.ResamplingMethod.by_number_points(5)).points[2] == [3.0, 4.0]
assert p.smoothed_path_elastic_band(0.1) is not None
print("wheel OK:", velmora.__file__)
PYCODE
ls wheel-venv/lib/python3*/site-packages/velmora-stubs/py.typed >/dev/null
# The batch pipeline ships in the same wheel; its dependencies are the extra.
ls wheel-venv/lib/python3*/site-packages/velmora_fleet/__init__.py >/dev/null
echo "1 passed, 0 failed"
