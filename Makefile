# Entry points: `make demo` and `make test` work on a fresh machine; each
# installs what is missing (Debian packages, a .venv with the Python tools).
# `make quick` is the inner loop. The README says what each target runs.
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(VENV)/bin/pip
export PATH := $(HOME)/.cargo/bin:$(PATH)
# Every build tree of this checkout (release, pip's, sanitizer, wheel check)
# shares one cargo target folder, so the Clarabel crates are compiled once.
export VELMORA_CARGO_TARGET_DIR := $(CURDIR)/build/cargo
# Warnings are errors in the builds made here; users' builds (pip install .,
# plain cmake) keep them warnings. `make quick WERROR=OFF` mid-change.
WERROR ?= ON
CPP_BUILD := build/cpp
STAMP_SYS := build/.system-deps
STAMP_VENV_TEST := $(VENV)/.installed-test
STAMP_VENV := $(VENV)/.installed
TIMED := $(CURDIR)/tools/timed.sh
export STEP_TIMES := $(CURDIR)/build/step-times.txt
# What the Python suites run against: the incremental pip build, or in the
# gate the wheel built from the source distribution (one compile, not two).
MODULE ?= build

.PHONY: all deps build demo quick format format-check test test-cpp cpp-build test-python test-numpy1 test-stubs \
	test-cpp-package test-wheel install-wheel test-sanitize test-tsan test-fuzz test-fleet test-fleet-resilience \
	test-fleet-cluster bench accuracy mutate clean

all: build

$(STAMP_SYS): tools/ensure-system-deps.sh
	@mkdir -p build
	bash tools/ensure-system-deps.sh
	@touch $@

# The .venv in two stages: the module's test tools first, then the rest, which
# may not change what the first stage installed (tests may be running on it).
$(STAMP_VENV_TEST): requirements-test.txt | $(STAMP_SYS)
	test -x $(PY) || $(PYTHON) -m venv $(VENV)
	$(PIP) install -q --upgrade pip
	$(TIMED) venv-test $(PIP) install -q -r requirements-test.txt
	$(PIP) list --format=freeze > $(VENV)/test-stage.txt
	@touch $@

$(STAMP_VENV): requirements-dev.txt $(STAMP_VENV_TEST)
	$(TIMED) venv $(PIP) install -q -r requirements-dev.txt -c $(VENV)/test-stage.txt
	@touch $@

deps: $(STAMP_SYS) $(STAMP_VENV)

# Builds and installs the extension module into the .venv (incremental: the
# build tree is kept under build/).
build: deps
	$(TIMED) build $(PIP) install -q --no-build-isolation -C cmake.define.VELMORA_WERROR=$(WERROR) .

# A real AIS sample (an hour and a week of New York Harbor) from PyPI, for the
# demo and the fleet tests.
AIS_SAMPLE := build/ais/NYHarbor_2020_06_30_first_hour.csv
$(AIS_SAMPLE): tools/fetch_ais_sample.py | $(STAMP_VENV)
	$(PY) tools/fetch_ais_sample.py build/ais

demo: build $(AIS_SAMPLE)
	$(PY) examples/demo.py
	@echo "--- many tracks: a small synthetic fleet (40,000 records: run in this process, no cluster needed)"
	$(VENV)/bin/velmora-fleet generate build/demo/fleet --tracks 40 --points 1000 --seed 7 --files 4
	$(VENV)/bin/velmora-fleet run build/demo/fleet --out build/demo/fleet-result --overwrite
	$(VENV)/bin/velmora-fleet plot build/demo/fleet-result --out build/demo/fleet.png --colour curvature
	@echo "--- a real recording: an hour of AIS positions in New York Harbor"
	$(VENV)/bin/velmora-fleet run $(AIS_SAMPLE) --preset ais --out build/demo/ais-result --overwrite
	$(VENV)/bin/velmora-fleet plot build/demo/ais-result --out build/demo/ais.png

# The release build of the core and its GoogleTest suite.
cpp-build: $(STAMP_SYS)
	cmake -S . -B $(CPP_BUILD) -G Ninja -DVELMORA_BUILD_PYTHON=OFF -DVELMORA_BUILD_TESTS=ON \
		-DCMAKE_BUILD_TYPE=Release -DVELMORA_WERROR=$(WERROR) >/dev/null
	$(TIMED) cpp-build cmake --build $(CPP_BUILD)

test-cpp: cpp-build
	$(TIMED) test-cpp ctest --test-dir $(CPP_BUILD) --output-on-failure -j2 --progress

# The layout of every C++ and Python file: `make format` applies it, `make
# quick` checks it (clang-format from Debian, ruff from the .venv).
CXX_SOURCES = $(shell git ls-files '*.cpp' '*.hpp' '*.h')
PY_SOURCES = $(shell git ls-files '*.py' '*.pyi')
format: deps
	@clang-format -i $(CXX_SOURCES)
	@$(VENV)/bin/ruff format -q $(PY_SOURCES)

format-check: deps
	@clang-format --dry-run --Werror $(CXX_SOURCES)
	@$(VENV)/bin/ruff format -q --check $(PY_SOURCES) && echo "layout: as clang-format and ruff format leave it"

# The inner loop: the layout check, both release builds (incremental, side by
# side), then the C++ suite and the Python suite.
quick: format-check
	@$(MAKE) --no-print-directory -j2 build cpp-build
	$(CPP_BUILD)/tests/cpp/velmora_core_tests --gtest_brief=1
	$(PY) -m pytest -q -x tests/python

test-python: $(MODULE)
	$(TIMED) test-python $(PY) -m pytest -q tests/python
	$(TIMED) test-python $(PY) -m pytest -q bench/tests

# The module must also work with NumPy 1.x: the array-facing tests run once
# more with NumPy 1.26 (installed aside and put first on the path) against the
# same installed module.
NP1_SITE := build/numpy1-site
$(NP1_SITE)/.installed: | $(STAMP_VENV)
	$(PIP) install -q --no-deps --target $(NP1_SITE) "numpy==1.26.4"
	@touch $@

test-numpy1: $(MODULE) $(NP1_SITE)/.installed
	VELMORA_EXPECT_NUMPY_MAJOR=1 PYTHONPATH=$(NP1_SITE) $(TIMED) test-numpy1 $(PY) -m pytest -q \
		-p no:cacheprovider tests/python/test_module.py tests/python/test_path2d.py \
		tests/python/test_associated_values.py

# C++ users: install the core with its CMake package, move it to another
# prefix, then build and run examples/cpp against the moved package alone.
test-cpp-package: cpp-build
	$(TIMED) test-cpp-package bash tests/packaging/check_cpp_package.sh $(CPP_BUILD)

# The source distribution builds, pip turns it into a wheel (isolated build,
# as a user would), and the wheel installs and works in a fresh venv.
test-wheel: $(STAMP_VENV)
	PY=$(PY) WERROR=$(WERROR) $(TIMED) test-wheel bash tests/packaging/check_wheel.sh

install-wheel: test-wheel
	$(PIP) install -q --no-deps --force-reinstall build/wheelhouse/velmora-*.whl

# The type stubs must describe the built module exactly.
test-stubs: $(MODULE)
	cd build && $(TIMED) test-stubs ../$(PY) -m mypy.stubtest velmora

# The full gate (.ci/run): every suite, two steps at a time; a failing step
# does not stop the others, so one run reports every failure. Then what each
# step cost. Other areas add their steps to GATE.
GATE := test-sanitize test-tsan test-cpp test-cpp-package test-python test-numpy1 test-stubs test-wheel test-fuzz \
	test-fleet test-fleet-resilience test-fleet-cluster
test:
	@rm -f $(STEP_TIMES); began=$$(date +%s); status=0; \
	$(MAKE) --no-print-directory -j2 --keep-going --output-sync=target MODULE=install-wheel $(GATE) || status=$$?; \
	$(PY) tools/step_times.py $(STEP_TIMES) $$(( $$(date +%s) - began )); exit $$status

bench: build
	$(PY) bench/run_all.py

# The accuracy benchmark, not part of the gate: velmora_fleet's speed, heading
# and curvature against simulated ground truth, the tools a user would pick
# instead (movingpandas, Stone Soup, scipy) and the real AIS hour; tables to
# build/accuracy/report.md, every figure to results.json. The peers go into
# the .venv with everything installed held; the checkout's velmora_fleet is
# the one measured. ACCURACY_ARGS="--quick --method velmora:spacing=5" for a
# variant in about 30 s.
ACCURACY_STAMP := $(VENV)/.installed-accuracy
$(ACCURACY_STAMP): requirements-accuracy.txt $(STAMP_VENV)
	@mkdir -p build/accuracy
	$(PIP) freeze | grep -v ' @ ' > build/accuracy/held.txt
	$(PIP) install -q -r requirements-accuracy.txt -c build/accuracy/held.txt
	@touch $@

accuracy: build $(AIS_SAMPLE) $(ACCURACY_STAMP)
	VELMORA_AIS_SAMPLE=$(CURDIR)/build/ais PYTHONPATH=$(CURDIR)/python $(PY) bench/accuracy/run.py \
		--out build/accuracy $(ACCURACY_ARGS)

# Mutation testing, not part of the gate: each fault listed in
# tools/mutation/mutants.txt is planted alone in a copy of the checkout
# (build/mutation), built incrementally and run against the suites that can
# catch it; what caught each one and the score go to tools/mutation/results.txt.
# About an hour; MUTANTS="chaikin. binder.keyword-fallback" runs only those.
mutate: $(STAMP_VENV)
	$(PY) tools/mutate.py $(if $(MUTANTS),--only $(MUTANTS))

clean:
	rm -rf build $(VENV)

# Reliability: the C++ tests and the Python suite against an ASan+UBSan build
# (build/asan), and a bounded fuzz run of the argument conversions. atheris is
# installed aside when PyPI has a wheel for it; otherwise the runner uses its
# seeded random engine. The budgets are sized for the gate; raise them for a
# longer search (FUZZ_SECONDS=600, SANITIZE_FUZZ_SECONDS=600).
FUZZ_SECONDS ?= 20
FUZZ_SITE := build/fuzz-site

test-sanitize: $(STAMP_VENV_TEST)
	PY=$(PY) $(TIMED) test-sanitize bash tools/sanitize.sh

$(FUZZ_SITE)/.installed: | $(STAMP_VENV)
	$(PIP) install -q --no-deps --target $(FUZZ_SITE) atheris || echo "atheris not installable: random engine"
	@mkdir -p $(FUZZ_SITE) && touch $@

test-fuzz: $(MODULE) $(FUZZ_SITE)/.installed
	PYTHONPATH=$(CURDIR)/$(FUZZ_SITE) $(TIMED) test-fuzz $(PY) tests/fuzz/run_fuzz.py \
		--seconds $(FUZZ_SECONDS) --workdir build/fuzz

# Const members of the core run concurrently without data races: the
# concurrent-read tests under ThreadSanitizer (build/tsan).
TSAN_BUILD := build/tsan
test-tsan: $(STAMP_SYS)
	cmake -S . -B $(TSAN_BUILD) -G Ninja -DVELMORA_TSAN=ON -DVELMORA_BUILD_PYTHON=OFF \
		-DVELMORA_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	$(TIMED) test-tsan cmake --build $(TSAN_BUILD) --target velmora_concurrency_tests
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" $(TIMED) test-tsan \
		$(TSAN_BUILD)/tests/cpp/velmora_concurrency_tests --gtest_filter='*Concurrent*'

# The batch pipeline over many tracks, on a local Dask cluster; its tests of
# dead workers and interrupts are a step of their own, so that the gate runs
# the two side by side.
test-fleet: $(MODULE) $(AIS_SAMPLE)
	VELMORA_AIS_SAMPLE=$(CURDIR)/build/ais $(TIMED) test-fleet $(PY) -m pytest -q -p no:cacheprovider tests/fleet \
		--ignore=tests/fleet/test_resilience.py --ignore=tests/fleet/test_cluster.py

test-fleet-resilience: $(MODULE)
	$(TIMED) test-fleet-resilience $(PY) -m pytest -q -p no:cacheprovider tests/fleet/test_resilience.py

# The cluster recipe against object storage: an S3-compatible server (moto's,
# in a venv of its own, so that its packages never meet the .venv's) on
# 127.0.0.1, `dask scheduler` and `dask worker` started as commands, and the
# CLI reading and writing s3:// through s3fs.
S3_SERVER := build/s3-server
$(S3_SERVER)/.installed: requirements-s3-server.txt
	test -x $(S3_SERVER)/bin/python || $(PYTHON) -m venv $(S3_SERVER)
	$(TIMED) s3-server $(S3_SERVER)/bin/pip install -q -r requirements-s3-server.txt
	@touch $@

test-fleet-cluster: $(MODULE) $(S3_SERVER)/.installed
	VELMORA_S3_SERVER=$(CURDIR)/$(S3_SERVER)/bin/moto_server $(TIMED) test-fleet-cluster $(PY) -m pytest -q \
		-p no:cacheprovider tests/fleet/test_cluster.py
