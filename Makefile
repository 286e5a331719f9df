# Every target sets up what it needs on a fresh Debian 12 machine, idempotently:
# system packages, a Python 3.12 virtual environment in .venv/, the build.
SHELL := /bin/bash
.DEFAULT_GOAL := help

VENV      := .venv
PY        := $(VENV)/bin/python
PIP       := $(PY) -m pip
BUILD     := build/cpp
ASAN      := build/asan
# chromium and its driver: the Python tests open inspect's page in a headless browser
APT_PKGS  := nlohmann-json3-dev librust-blake3-dev libgtest-dev ccache chromium chromium-driver
# ccache's base folder makes paths relative, so that worktrees share objects; the sloppiness
# lets it cache the files built with the test drivers' precompiled header.
CMAKE_ENV := PATH=$(abspath $(VENV))/bin:$$PATH CCACHE_BASEDIR=$(CURDIR) \
             CCACHE_SLOPPINESS=pch_defines,time_macros,include_file_mtime,include_file_ctime
CORES     := $(shell nproc 2>/dev/null || echo 2)

.PHONY: help setup system-deps build test test-cpp test-asan module test-py demo \
        bench clean fuzz fuzz-deps

help:
	@echo "make test   set everything up, build, run all tests"
	@echo "make test-cpp  the C++ tests in the Release tree (make test runs them under the sanitizers)"
	@echo "make demo   run the main job on the bundled sample"
	@echo "make test-asan  C++ tests under AddressSanitizer, LeakSanitizer and UBSan (part of test)"
	@echo "make fuzz   build the libFuzzer harnesses with clang and run each FUZZ_SECONDS seconds"
	@echo "make bench  benchmark suite (BENCH_ARGS=\"--size-mb 2\" for a quick run)"
	@echo "            then parallel jobs on a 1 GB file (PARALLEL_ARGS=\"--size-mb 256\")"

setup: system-deps $(VENV)/.requirements-stamp

system-deps:
	@missing=""; for p in $(APT_PKGS); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing Debian packages:$$missing"; \
	  SUDO=""; [ "$$(id -u)" -eq 0 ] || SUDO=sudo; \
	  $$SUDO apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing >/dev/null; \
	fi

$(VENV)/bin/python:
	@py=""; for candidate in $$(command -v python3.12) \
	    $$(ls -d "$$(pyenv root 2>/dev/null)"/versions/3.12.*/bin/python3.12 2>/dev/null | sort -V -r); do \
	  if "$$candidate" -c 'import sys; assert sys.version_info[:2] == (3, 12)' 2>/dev/null; then \
	    py=$$candidate; break; \
	  fi; \
	done; \
	if [ -z "$$py" ]; then \
	  echo "error: Python 3.12 not found (looked on PATH and under pyenv); install it first" >&2; exit 1; \
	fi; \
	echo "creating $(VENV) with $$py"; "$$py" -m venv $(VENV)

$(VENV)/.requirements-stamp: requirements.txt $(VENV)/bin/python
	$(PIP) install -q --upgrade pip
	$(PIP) install -q -r requirements.txt
	touch $@

$(BUILD)/build.ninja: | setup
	$(CMAKE_ENV) cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DSHREDDER_PYTHON=$(abspath $(PY))

build: setup $(BUILD)/build.ninja
	$(CMAKE_ENV) cmake --build $(BUILD)

test-cpp: build
	cd $(BUILD) && ctest --output-on-failure -j $(CORES)

$(ASAN)/build.ninja: | setup
	$(CMAKE_ENV) cmake -S . -B $(ASAN) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DSHREDDER_SANITIZE=ON -DSHREDDER_PYTHON=$(abspath $(PY))

# Any AddressSanitizer, LeakSanitizer or UBSan report fails the run: UBSan does not recover
# (-fno-sanitize-recover=all), and every report makes the test binary exit non-zero.
SAN_ENV := ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:check_initialization_order=1:strict_init_order=1:detect_stack_use_after_return=1 \
           UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

test-asan: setup $(ASAN)/build.ninja
	$(CMAKE_ENV) cmake --build $(ASAN)
	cd $(ASAN) && $(SAN_ENV) ctest --output-on-failure -j $(CORES)

# libFuzzer harnesses (fuzz/), built with clang in their own tree. Each runs FUZZ_SECONDS
# seconds on one core, from seeds made out of the JSON files under FUZZ_DATA plus the
# regression inputs kept in fuzz/corpus; new inputs collect in build/fuzz/corpus. A finding
# stops the run and leaves its input in build/fuzz/artifacts.
FUZZ         := build/fuzz
FUZZ_SECONDS ?= 300
FUZZ_DATA    ?= ../shared/data
FUZZ_PKGS    := clang libclang-rt-14-dev
FUZZERS      := json_pipeline:json atoms_unshred:atoms arrow_codec:arrow
FUZZ_FLAGS   := -max_len=65536 -timeout=30 -rss_limit_mb=3072 -malloc_limit_mb=2048 \
                -print_final_stats=1

fuzz-deps:
	@$(MAKE) --no-print-directory system-deps APT_PKGS="$(FUZZ_PKGS)"

$(FUZZ)/build.ninja: | setup fuzz-deps
	$(CMAKE_ENV) cmake -S fuzz -B $(FUZZ) -G Ninja -DCMAKE_C_COMPILER=clang \
	  -DCMAKE_CXX_COMPILER=clang++ -DSHREDDER_PYTHON=$(abspath $(PY))

fuzz: setup fuzz-deps $(FUZZ)/build.ninja
	$(CMAKE_ENV) cmake --build $(FUZZ)
	@if [ -d "$(FUZZ_DATA)" ]; then \
	  $(FUZZ)/make_fuzz_seeds $(FUZZ)/seeds --raw $(FUZZ_DATA)/jsontestsuite/*.json \
	    $$(find $(FUZZ_DATA)/real/small -name '*.json') \
	    --derive $(FUZZ_DATA)/real/*.json $(FUZZ_DATA)/real/*.ndjson; \
	else echo "no seed data at $(FUZZ_DATA); starting from fuzz/corpus only"; fi
	@mkdir -p $(FUZZ)/artifacts
	@for entry in $(FUZZERS); do \
	  name=$${entry%%:*}; set=$${entry##*:}; \
	  mkdir -p $(FUZZ)/corpus/$$set $(FUZZ)/seeds/$$set; \
	  echo "== $${name}_fuzzer for $(FUZZ_SECONDS) s"; \
	  $(FUZZ)/$${name}_fuzzer $(FUZZ_FLAGS) -max_total_time=$(FUZZ_SECONDS) \
	    -artifact_prefix=$(FUZZ)/artifacts/$$name- \
	    $(FUZZ)/corpus/$$set $(FUZZ)/seeds/$$set fuzz/corpus/$$set || exit 1; \
	done

# Builds the extension module (and the pure-Python package) into the venv. The build tree
# under build/py is kept, so a rebuild is incremental. scikit-build would take Python's own
# compiler names (gcc, g++); the Release tree's (cc, c++) let ccache hand the module's tree
# the core objects that tree built.
module: setup
	$(CMAKE_ENV) CC=cc CXX=c++ $(PIP) install -q --no-build-isolation --no-deps .

# The Python tests read atoms through the readers users reach for (polars, pandas, DuckDB) and
# run the optional engines (a Dask cluster, an S3 server): one pinned list, kept out of the
# package's dependencies.
$(VENV)/.test-stamp: tests/requirements.txt $(VENV)/.requirements-stamp
	$(PIP) install -q -r tests/requirements.txt
	touch $@

# pytest-xdist spreads the tests over one worker per core; PYTEST_ARGS="-n 0" runs them in this
# process (for a debugger, or -x).
PYTEST_ARGS ?= -n $(CORES)
PYTEST := $(PY) -m pytest -q $(PYTEST_ARGS)

test-py: module $(VENV)/.test-stamp
	$(PYTEST)

# The C++ suite runs once, in the sanitizer tree, while the module builds and pip installs the
# test packages; then pytest runs against the module. The Release tree's run of the same suite
# (`make test-cpp`) is left to developers: the shipped module's own limits, such as deep nesting
# on a 1 MiB thread stack, are proven by the Python suite, on the module itself.
test: setup
	@$(MAKE) --no-print-directory -j 3 --output-sync=target module test-asan $(VENV)/.test-stamp
	$(PYTEST)

# The main job on the bundled sample: shred to an atoms dataset, inspect it, rebuild the
# documents with verification against their content ids, and compare with the originals.
DEMO_OUT := out/demo
demo: module
	rm -rf $(DEMO_OUT)
	$(VENV)/bin/shredder shred examples/orders.jsonl -o $(DEMO_OUT)/atoms --batch-size 1000
	$(VENV)/bin/shredder inspect $(DEMO_OUT)/atoms
	$(VENV)/bin/shredder unshred $(DEMO_OUT)/atoms -o $(DEMO_OUT)/orders.jsonl --verify
	$(PY) examples/check_round_trip.py examples/orders.jsonl $(DEMO_OUT)/orders.jsonl

# The benchmark suite (never part of test): its own pinned packages, the limits binary, then
# every measurement on one thread. Flags go through BENCH_ARGS (see bench/run.py --help).
BENCH_ENV := OMP_NUM_THREADS=1 OPENBLAS_NUM_THREADS=1 MKL_NUM_THREADS=1 RAYON_NUM_THREADS=1 \
  POLARS_MAX_THREADS=1 ARROW_NUM_THREADS=1 ARROW_IO_THREADS=1 SHREDDER_BENCH_PINNED=1

$(VENV)/.bench-stamp: bench/requirements.txt $(VENV)/.requirements-stamp
	$(PIP) install -q -r bench/requirements.txt
	touch $@

# Then the partitioned jobs on all cores (bench/parallel.py: a 1 GB JSON Lines file by default;
# PARALLEL_ARGS="--size-mb 256" for a quicker run), each worker process on one thread; last,
# a file to Parquet end to end beside the peers on all their threads (bench/end_to_end.py;
# END_TO_END_ARGS="--size-mb 20" for a quicker run).
bench: module $(VENV)/.bench-stamp $(VENV)/.test-stamp
	$(CMAKE_ENV) cmake -S bench/cpp -B build/bench/cpp -G Ninja -DCMAKE_BUILD_TYPE=Release
	$(CMAKE_ENV) cmake --build build/bench/cpp
	$(BENCH_ENV) $(PY) bench/run.py $(BENCH_ARGS)
	$(BENCH_ENV) $(PY) bench/exact_cost.py
	$(BENCH_ENV) $(PY) bench/parallel.py $(PARALLEL_ARGS)
	$(PY) bench/end_to_end.py $(END_TO_END_ARGS)

clean:
	rm -rf build
