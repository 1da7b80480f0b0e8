# tarvok: build the extension modules in place and run the tests.
PYTHON ?= /usr/bin/python3
BUILD ?= build
JOBS ?= $(shell nproc)
DEB_PACKAGES := cmake ninja-build g++ python3-dev pybind11-dev python3-numpy \
	python3-astor python3-pytest python3-hypothesis \
	python3-setuptools python3-wheel python3-pip python3-venv
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: deps configure build test demo bench asan generic generic-imports install-check clean

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

# Sanitizer run: the modules built with AddressSanitizer and
# UndefinedBehaviorSanitizer into a tree of their own (the in-place build is
# left alone), the whole suite run against it with both runtimes preloaded into
# the interpreter and PYTHONMALLOC=malloc, so that a Python object released
# once too often is a use after free the sanitizer sees. Child interpreters
# inherit all of it. A report aborts the process that hit it; reports go to
# files (pytest's capture would swallow them), which fail the run and are shown.
ASAN_BUILD ?= build-asan
ASAN_TREE = $(abspath $(ASAN_BUILD))/tree
ASAN_LOGS = $(abspath $(ASAN_BUILD))/reports
# What a report says (the logs also hold harmless warnings, such as a refused
# huge allocation that comes back as MemoryError).
SANITIZER_MARKS = ERROR: (Address|Leak)Sanitizer|runtime error:
ASAN_RUNTIMES = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libubsan.so)
# An allocation above 1 GiB is refused at once (a MemoryError): the fuzz tests
# ask for arrays of absurd sizes, which the sanitizer's allocator would
# otherwise map and unpoison for seconds each, where a plain build only
# reserves them.
ASAN_ENV = TARVOK_TREE=$(ASAN_TREE) TARVOK_SANITIZER_LOGS=$(ASAN_LOGS) \
	LD_PRELOAD="$(ASAN_RUNTIMES)" PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:max_allocation_size_mb=1024:log_path=$(ASAN_LOGS)/asan \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$(ASAN_LOGS)/ubsan

asan: deps
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DPYTHON=$(PYTHON) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTVK_SANITIZE=ON -DTVK_OUTPUT_ROOT=$(ASAN_TREE)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	@cd tarvok && find . -name '*.py' | while read f; do install -D -m 644 "$$f" "$(ASAN_TREE)/tarvok/$$f"; done
	@rm -rf $(ASAN_LOGS) && mkdir -p $(ASAN_LOGS)
	@echo "$(ASAN_ENV) $(PYTHON) -m pytest -q tests"
	@$(ASAN_ENV) $(PYTHON) -m pytest -q tests; rc=$$?; \
	reports=$$(grep -l -E "$(SANITIZER_MARKS)" $(ASAN_LOGS)/* 2>/dev/null); \
	if [ -n "$$reports" ]; then echo "== sanitizer reports:"; cat $$reports; rc=1; fi; \
	exit $$rc

# Generic run: the modules built with every read of the interpreter's private
# layouts and private functions compiled out (TVK_GENERIC), into a tree of
# their own, and the whole suite run against that tree, so the generic paths
# that stand next to each fast path are compiled and tested too.
GENERIC_BUILD ?= build-generic
GENERIC_TREE = $(abspath $(GENERIC_BUILD))/tree

# The run fails too when a module of that tree imports a private symbol of
# the interpreter (generic-imports below), whatever the suite says.
generic: deps
	cmake -S . -B $(GENERIC_BUILD) -G Ninja -DPYTHON=$(PYTHON) -DTVK_GENERIC=ON -DTVK_OUTPUT_ROOT=$(GENERIC_TREE)
	cmake --build $(GENERIC_BUILD) -j $(JOBS)
	@cd tarvok && find . -name '*.py' | while read f; do install -D -m 644 "$$f" "$(GENERIC_TREE)/tarvok/$$f"; done
	@echo "TARVOK_TREE=$(GENERIC_TREE) $(PYTHON) -m pytest -q tests"
	@TARVOK_TREE=$(GENERIC_TREE) $(PYTHON) -m pytest -q tests; rc=$$?; \
	$(MAKE) --no-print-directory generic-imports || rc=1; exit $$rc

# The private symbols (a leading _Py) a module of the generic tree may still
# import: those the public headers' macros and inline functions expand to
# (Py_DECREF, Py_None ..., PyObject_GC_New, PyUnicode_READY, the trashcan,
# the _SizeT forms of the calls that take a format), and those pybind11's own
# headers use, which a plain pybind11 module imports too (_PyType_Lookup,
# _PyObject_GetDictPtr, _PyThreadState_UncheckedGet; _Py_fopen_obj for
# eval_file). Any other is a read of the interpreter's insides that got past
# src/common/insides.hpp. Since every module imports pybind11's two lookups
# for pybind11's sake, the sources are searched for those two instead.
GENERIC_PUBLIC_PRIVATE := _Py_Dealloc _Py_IncRef _Py_DecRef \
	_Py_NoneStruct _Py_TrueStruct _Py_FalseStruct _Py_NotImplementedStruct _Py_EllipsisObject \
	_PyObject_New _PyObject_NewVar _PyObject_GC_New _PyObject_GC_NewVar _PyObject_GC_Resize \
	_PyUnicode_Ready _PyTrash_begin _PyTrash_end _PyTrash_cond \
	_PyArg_Parse_SizeT _PyArg_ParseTuple_SizeT _PyArg_ParseTupleAndKeywords_SizeT \
	_PyArg_VaParse_SizeT _PyArg_VaParseTupleAndKeywords_SizeT _Py_BuildValue_SizeT _Py_VaBuildValue_SizeT \
	_PyObject_CallFunction_SizeT _PyObject_CallMethod_SizeT \
	_PyThreadState_UncheckedGet _Py_fopen_obj
GENERIC_PYBIND11_PRIVATE := _PyType_Lookup _PyObject_GetDictPtr

generic-imports:
	@bad=0; allowed=" $(GENERIC_PUBLIC_PRIVATE) $(GENERIC_PYBIND11_PRIVATE) "; \
	modules=$$(cd $(GENERIC_TREE) 2>/dev/null && find . -name '*.so' | sort); \
	if [ -z "$$modules" ]; then echo "no module built in $(GENERIC_TREE): make generic first"; exit 1; fi; \
	for so in $$modules; do \
	  for sym in $$(nm -D --undefined-only $(GENERIC_TREE)/$$so | awk '{sub(/@.*/, "", $$NF); print $$NF}' | grep '^_Py'); do \
	    case "$$allowed" in *" $$sym "*) ;; *) echo "generic module $${so#./} imports $$sym"; bad=1;; esac; \
	  done; \
	done; \
	for sym in $(GENERIC_PYBIND11_PRIVATE); do \
	  for at in $$(grep -rnw --include='*.cpp' --include='*.hpp' $$sym src | grep -v '^src/common/insides\.' | cut -d: -f1,2); do \
	    echo "$$at names $$sym outside src/common/insides"; bad=1; \
	  done; \
	done; \
	if [ $$bad = 0 ]; then echo "generic modules: no private symbol beyond what the public headers and pybind11 use"; fi; \
	exit $$bad

# The README's install lines, read from the README and run as written in a
# fresh copy of the repository (its tracked and unignored files), with the
# package index switched off (nothing but apt may use the network), then a
# kernel program run from a folder outside that copy against the installed
# package.
INSTALL_COPY ?= build-install
install-check: deps
	@lines=$$(awk '/^## Installing/{on=1; next} on && /^## /{exit} on && /^    /{sub(/^    /, ""); print}' README.md); \
	test -n "$$lines" || { echo "README.md has no install lines"; exit 1; }; \
	rm -rf $(INSTALL_COPY) && mkdir -p $(INSTALL_COPY) && \
	git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents -t $(INSTALL_COPY) && \
	echo "$$lines" && \
	(cd $(INSTALL_COPY) && PIP_NO_INDEX=1 CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) sh -ec "$$lines") || exit 1; \
	py=$(abspath $(INSTALL_COPY))/.venv/bin/python; tmp=$$(mktemp -d); cp examples/kernel_program.py $$tmp/; \
	cd $$tmp && $$py -c 'import sys, tarvok; assert tarvok.__file__.startswith(sys.prefix), tarvok.__file__' && \
	$$py kernel_program.py > kernel_program.out; rc=$$?; \
	if [ $$rc = 0 ]; then echo "the installed package compiles a kernel outside the repository"; \
	else cat kernel_program.out; fi; cd / && rm -rf $$tmp; exit $$rc

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(GENERIC_BUILD) build-pip $(INSTALL_COPY) tarvok.egg-info
	find tarvok -name '*.so' -delete
