# tarvok: build the extension modules in place and run the tests.
PYTHON ?= /usr/bin/python3
BUILD ?= build
JOBS ?= $(shell nproc)
DEB_PACKAGES := cmake ninja-build g++ python3-dev pybind11-dev python3-numpy \
	python3-astor python3-pytest python3-hypothesis
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: deps configure build test demo bench clean

deps:
	@missing=$$(for p in $(DEB_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing:" $$missing; \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get update -qq && \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DPYTHON=$(PYTHON)

configure: deps $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	$(PYTHON) -m pytest -q tests

demo: build
	@for f in examples/*.py; do echo "== $$f"; $(PYTHON) $$f || exit 1; done

bench: build
	@for f in bench/*.py; do echo "== $$f"; $(PYTHON) $$f || exit 1; done

clean:
	rm -rf $(BUILD)
	find tarvok -name '*.so' -delete
