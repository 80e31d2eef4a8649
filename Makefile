# Set-up and checks. `make demo` and `make test` work on a fresh machine:
# they install the system libraries, the package and the test tools first.
PYTHON ?= python3
PIP ?= $(PYTHON) -m pip
SYSTEM_PACKAGES := zlib1g-dev libssl-dev libabsl-dev
DEV_BUILD := build/dev

.PHONY: deps install demo test native-test dev dev-test bench sanitize clean

# System libraries the extension links against (Debian).
deps:
	@missing=""; for p in $(SYSTEM_PACKAGES); do \
	  dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

install: deps
	$(PIP) install --quiet .

demo: install
	$(PYTHON) demo/demo.py

test: install native-test
	$(PIP) install --quiet "pytest>=7" "hypothesis>=6"
	$(PYTHON) -m pytest -q tests

# The engine's own test program (transactions below the Python face).
NATIVE_TEST_BUILD := build/native-tests
native-test: deps
	cmake -S . -B $(NATIVE_TEST_BUILD) -DCMAKE_BUILD_TYPE=Debug -DOMBREL_NATIVE_TESTS=ON -DPython_EXECUTABLE=$$(command -v $(PYTHON)) >/dev/null
	cmake --build $(NATIVE_TEST_BUILD) --target engine_tests objects_tests -j 2
	$(NATIVE_TEST_BUILD)/engine_tests
	$(NATIVE_TEST_BUILD)/objects_tests

# Fast iteration: an in-tree debug build linked into src/ for PYTHONPATH=src.
dev: deps
	cmake -S . -B $(DEV_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPython_EXECUTABLE=$$(command -v $(PYTHON)) >/dev/null
	cmake --build $(DEV_BUILD) -j 2
	ln -sf ../../$(DEV_BUILD)/$$(cd $(DEV_BUILD) && ls _native*.so) src/ombrel_store/

dev-test: dev
	PYTHONPATH=src $(PYTHON) -m pytest -q tests

# The suite against an AddressSanitizer + UndefinedBehaviorSanitizer build.
ASAN_BUILD := build/asan
ASAN_PKG := $(ASAN_BUILD)/pkg
sanitize: deps
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DOMBREL_SANITIZE=ON -DOMBREL_NATIVE_TESTS=ON -DPython_EXECUTABLE=$$(command -v $(PYTHON)) >/dev/null
	cmake --build $(ASAN_BUILD) -j 2
	$(ASAN_BUILD)/engine_tests
	$(ASAN_BUILD)/objects_tests
	mkdir -p $(ASAN_PKG)/ombrel_store
	cp src/ombrel_store/*.py src/ombrel_store/*.pyi $(ASAN_BUILD)/_native*.so $(ASAN_PKG)/ombrel_store/
	PYTHONPATH=$(ASAN_PKG) LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  $(PYTHON) -m pytest -q -p no:cacheprovider tests

bench: install
	$(PYTHON) bench/kv.py

clean:
	rm -rf build dist src/ombrel_store/_native*.so
