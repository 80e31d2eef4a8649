# Set-up and checks. `make demo` and `make test` work on a fresh machine:
# they install the system libraries, the package and the test tools first.
PYTHON ?= python3
PIP ?= $(PYTHON) -m pip
SYSTEM_PACKAGES := zlib1g-dev libssl-dev
DEV_BUILD := build/dev

.PHONY: deps install demo test dev dev-test bench sanitize clean

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

test: install
	$(PIP) install --quiet "pytest>=7" "hypothesis>=6"
	$(PYTHON) -m pytest -q tests

# Fast iteration: an in-tree debug build linked into src/ for PYTHONPATH=src.
dev: deps
	cmake -S . -B $(DEV_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPython_EXECUTABLE=$$(command -v $(PYTHON)) >/dev/null
	cmake --build $(DEV_BUILD)
	ln -sf ../../$(DEV_BUILD)/$$(cd $(DEV_BUILD) && ls _native*.so) src/ombrel_store/

dev-test: dev
	PYTHONPATH=src $(PYTHON) -m pytest -q tests

bench: install
	$(PYTHON) bench/kv.py

clean:
	rm -rf build dist src/ombrel_store/_native*.so
