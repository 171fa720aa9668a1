# One-command workflows. Every target sets up what it needs (interpreter, packages, venv, build).
#   make        the main job on the repo's sample input
#   make test   all C++ and Python tests
#   make bench  benchmarks (ratios printed, never asserted)
#   make fuzz   the libFuzzer targets for FUZZ_SECONDS each

PY          := .venv/bin/python
BUILD_DIR   := build/dev
FUZZ_DIR    := build/fuzz
FUZZ_SECONDS ?= 60
JOBS        ?= $(shell nproc)

.PHONY: all run setup build test test-cpp test-python bench fuzz asan clean

all: run

setup:
	@bash scripts/bootstrap.sh >/dev/null

# Editable install of the package; the developer build also makes the C++ tests and the
# test-only module in the same build tree, so the engine is compiled once.
build: setup
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(PY) -m pip install -q --no-build-isolation --no-deps -e . \
		-Cbuild-dir=$(BUILD_DIR) -Ccmake.define.QUILLFEN_DEVELOPER=ON

run: build
	$(PY) scripts/demo.py

test: build
	$(MAKE) test-cpp test-python

test-cpp:
	.venv/bin/ctest --test-dir $(BUILD_DIR) --output-on-failure

test-python:
	QUILLFEN_TEST_BUILD_DIR=$(BUILD_DIR) $(PY) -m pytest -q tests/python

bench: build
	@for b in bench/bench_*.py; do [ -e "$$b" ] || continue; echo "== $$b"; $(PY) $$b || exit 1; done

fuzz: setup
	.venv/bin/cmake -S . -B $(FUZZ_DIR) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath .venv/bin/ninja) -DCMAKE_CXX_COMPILER=clang++-16 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DQUILLFEN_FUZZ=ON -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	.venv/bin/cmake --build $(FUZZ_DIR) -j $(JOBS)
	bash scripts/fuzz.sh $(FUZZ_DIR) $(FUZZ_SECONDS)

clean:
	rm -rf build
