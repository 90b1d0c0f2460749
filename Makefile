# Everything goes through CMake; this file only strings the steps together.
# `make test` installs what a fresh machine lacks, lints the Python files,
# then runs the C++ tests (plain and under ASan+UBSan) and the Python tests.

VENV     ?= .venv
PY       := $(VENV)/bin/python
CMAKE    := $(VENV)/bin/cmake
CTEST    := $(VENV)/bin/ctest
NINJA    := $(abspath $(VENV)/bin/ninja)
JOBS     ?= 2
BOOT     := $(VENV)/.bootstrapped

SAN_FLAGS := -g -O1 -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=all
CMAKE_GEN := -G Ninja -DCMAKE_MAKE_PROGRAM=$(NINJA)

.PHONY: all demo test lint build test-cpp build-asan test-asan test-py-asan install test-py bench clean

all: build

$(BOOT): tools/bootstrap.sh requirements-dev.txt
	tools/bootstrap.sh $(VENV)
	touch $@

build: $(BOOT)
	$(CMAKE) -S . -B build/release $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_BUILD_BENCHMARKS=ON \
	  -DCORVANE_BUILD_PYTHON=ON -DPython_EXECUTABLE=$(abspath $(PY))
	$(CMAKE) --build build/release -j $(JOBS)

test-cpp: build
	$(CTEST) --test-dir build/release --output-on-failure --no-tests=error -j $(JOBS)

build-asan: $(BOOT)
	$(CMAKE) -S . -B build/asan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_C_FLAGS="$(SAN_FLAGS)" -DCMAKE_CXX_FLAGS="$(SAN_FLAGS)" \
	  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
	  -DCMAKE_MODULE_LINKER_FLAGS="-fsanitize=address,undefined" \
	  -DCORVANE_BUILD_PYTHON=ON -DPython_EXECUTABLE=$(abspath $(PY))
	$(CMAKE) --build build/asan -j $(JOBS)

test-asan: build-asan
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  $(CTEST) --test-dir build/asan --output-on-failure --no-tests=error -j $(JOBS)

# The Python suite against the sanitized extension, run by the ordinary
# interpreter with the sanitizer runtimes preloaded.
SAN_PRELOAD = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libubsan.so)
test-py-asan: build-asan
	LD_PRELOAD="$(SAN_PRELOAD)" ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
	  PYTHONPATH=$(abspath build/asan/stage) $(VENV)/bin/pytest -q -p no:cacheprovider tests

install: $(BOOT)
	$(PY) -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps .

test-py: install
	$(VENV)/bin/pytest -q tests

# The key-store tests against a real Secret Service on a private bus.
.PHONY: test-keyring
test-keyring: install
	tools/with-keyring.sh $(VENV)/bin/pytest -q -m keyring tests/test_keys.py

# Lint findings and unformatted Python or C++ fail the run before anything
# builds. `$(VENV)/bin/ruff check --fix . && $(VENV)/bin/ruff format .` and
# `git ls-files '*.cc' '*.h' | xargs $(VENV)/bin/clang-format -i` fix most.
lint: $(BOOT)
	$(VENV)/bin/ruff check --no-cache .
	$(VENV)/bin/ruff format --no-cache --check .
	git ls-files '*.cc' '*.h' | xargs $(VENV)/bin/clang-format --dry-run --Werror

test: lint test-cpp test-asan test-py test-py-asan test-keyring

# A log written, verified and checkpointed, then tampered with three ways.
demo: install
	rm -rf build/demo
	$(PY) examples/demo.py build/demo

bench: build
	build/release/benchmarks/format_bench
	build/release/benchmarks/writer_bench
	build/release/benchmarks/verify_bench
	build/release/benchmarks/span_bench
	cd /tmp && PYTHONPATH=$(abspath build/release/stage) $(abspath $(PY)) $(abspath benchmarks/python_bench.py) $(abspath build/release)

# Each libFuzzer target for FUZZ_SECONDS (default 180) with clang, which it
# installs; FUZZ_MERGE=1 keeps new inputs in the committed corpus. `make
# test` only replays the corpus.
.PHONY: fuzz
fuzz: $(BOOT)
	JOBS=$(JOBS) tools/fuzz.sh $(VENV)

# The long versions: wider power-loss, kill-and-restart and model sweeps, and
# the C++ tests under valgrind (the sweeps, which the sanitizer build already
# covers, are left out of the valgrind run).
.PHONY: test-slow
test-slow: build install
	CORVANE_TEST_SLOW=1 build/release/core/corvane_core_tests --gtest_filter='PowerLoss*'
	CORVANE_TEST_SLOW=1 $(VENV)/bin/pytest -q tests/test_model.py tests/test_live.py
	valgrind --quiet --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite \
	  build/release/core/corvane_core_tests --gtest_filter='-PowerLoss*:Damage*:IoError*:*Crash*'

clean:
	rm -rf build
