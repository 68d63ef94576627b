# Entry points: `make demo` and `make test` work on a fresh machine; each
# installs what is missing (Debian packages, a .venv with the Python tools).
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(VENV)/bin/pip
export PATH := $(HOME)/.cargo/bin:$(PATH)
CPP_BUILD := build/cpp
STAMP_SYS := build/.system-deps
STAMP_VENV := $(VENV)/.installed

.PHONY: all deps build demo test test-cpp test-python test-numpy1 test-stubs test-cpp-package test-wheel bench clean

all: build

$(STAMP_SYS): tools/ensure-system-deps.sh
	@mkdir -p build
	bash tools/ensure-system-deps.sh
	@touch $@

$(STAMP_VENV): requirements-dev.txt | $(STAMP_SYS)
	test -x $(PY) || $(PYTHON) -m venv $(VENV)
	$(PIP) install -q --upgrade pip
	$(PIP) install -q -r requirements-dev.txt
	@touch $@

deps: $(STAMP_SYS) $(STAMP_VENV)

# Builds and installs the extension module into the .venv (incremental: the
# build tree is kept under build/).
build: deps
	$(PIP) install -q --no-build-isolation .

demo: build
	$(PY) examples/demo.py
	@echo "--- many tracks: a small synthetic fleet on a local Dask cluster"
	$(VENV)/bin/velmora-fleet generate build/demo/fleet.parquet --tracks 40 --points 1000 --seed 7
	$(VENV)/bin/velmora-fleet run build/demo/fleet.parquet --out build/demo/fleet

test-cpp: deps
	cmake -S . -B $(CPP_BUILD) -G Ninja -DVELMORA_BUILD_PYTHON=OFF -DVELMORA_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(CPP_BUILD)
	ctest --test-dir $(CPP_BUILD) --output-on-failure

test-python: build
	$(PY) -m pytest -q tests/python
	$(PY) -m pytest -q bench/tests

# The module must also work with NumPy 1.x: the array-facing tests run once
# more in a second venv holding NumPy 1.26, against the same built module.
NP1_VENV := .venv-numpy1
$(NP1_VENV)/.installed: | $(STAMP_SYS)
	test -x $(NP1_VENV)/bin/python || $(PYTHON) -m venv $(NP1_VENV)
	$(NP1_VENV)/bin/pip install -q "numpy==1.26.4" pytest
	@touch $@

test-numpy1: build $(NP1_VENV)/.installed
	rm -rf build/numpy1 && mkdir -p build/numpy1
	cp "$$($(PY) -c 'import velmora; print(velmora.__file__)')" build/numpy1/
	cd build/numpy1 && VELMORA_EXPECT_NUMPY_MAJOR=1 PYTHONPATH=. ../../$(NP1_VENV)/bin/python -m pytest -q -p no:cacheprovider \
		../../tests/python/test_module.py ../../tests/python/test_path2d.py ../../tests/python/test_associated_values.py

# C++ users: install the core with its CMake package, then build and run the
# example against the installed package alone.
test-cpp-package: test-cpp
	rm -rf build/install build/example
	cmake --install $(CPP_BUILD) --prefix build/install >/dev/null
	cmake -S examples/cpp -B build/example -G Ninja -DCMAKE_PREFIX_PATH=$(CURDIR)/build/install >/dev/null
	cmake --build build/example
	./build/example/path_example

# The source distribution builds, pip turns it into a wheel, and the wheel
# installs and works in a fresh venv.
test-wheel: deps
	PY=$(PY) bash tests/packaging/check_wheel.sh

# The type stubs must describe the built module exactly.
test-stubs: build
	cd build && ../$(PY) -m mypy.stubtest velmora

test: test-cpp test-cpp-package test-python test-numpy1 test-stubs test-wheel test-sanitize test-fuzz

bench: build
	$(PY) bench/run_all.py

clean:
	rm -rf build $(VENV)

# Reliability: the C++ tests and the Python suite against an ASan+UBSan build
# (build/asan), and a bounded fuzz run of the argument conversions. The fuzz
# venv gets atheris when PyPI has a wheel for it; otherwise the runner uses
# its seeded random engine.
FUZZ_SECONDS ?= 45
FUZZ_VENV := build/fuzz-venv
.PHONY: test-sanitize test-fuzz

test-sanitize: deps
	PY=$(PY) bash tools/sanitize.sh

$(FUZZ_VENV)/.installed: | $(STAMP_SYS)
	test -x $(FUZZ_VENV)/bin/python || $(PYTHON) -m venv $(FUZZ_VENV)
	$(FUZZ_VENV)/bin/pip install -q "numpy>=2"
	$(FUZZ_VENV)/bin/pip install -q atheris || echo "atheris not installable: random engine"
	@touch $@

test-fuzz: build $(FUZZ_VENV)/.installed
	rm -rf build/fuzz/module && mkdir -p build/fuzz/module
	cp "$$($(PY) -c 'import velmora; print(velmora.__file__)')" build/fuzz/module/
	PYTHONPATH=$(CURDIR)/build/fuzz/module $(FUZZ_VENV)/bin/python tests/fuzz/run_fuzz.py \
		--seconds $(FUZZ_SECONDS) --workdir build/fuzz

# Const members of the core run concurrently without data races: the
# concurrent-read tests under ThreadSanitizer (build/tsan).
TSAN_BUILD := build/tsan
.PHONY: test-tsan
test-tsan: deps
	cmake -S . -B $(TSAN_BUILD) -G Ninja -DVELMORA_TSAN=ON -DVELMORA_BUILD_PYTHON=OFF -DVELMORA_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(TSAN_BUILD) --target velmora_core_tests
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" $(TSAN_BUILD)/tests/cpp/velmora_core_tests --gtest_filter='*Concurrent*'
