# Every target runs inside the project's Debian testing root (scripts/sandbox),
# which is created on first use. Targets named in-* are the same steps run
# directly, for use inside that root or on a machine that already has the
# dependencies (Python 3.14, a C++23 compiler, CMake, ICU, OpenSSL, RapidJSON, simdutf, GoogleTest).

BUILD ?= build
JOBS ?= 2
SANDBOX := scripts/sandbox run
PY := python3
PIP_INSTALL := $(PY) -m pip install --quiet --no-build-isolation --no-deps --break-system-packages

.PHONY: test demo bench fuzz test-asan sandbox clean
test:      ; $(SANDBOX) $(MAKE) --no-print-directory in-test BUILD=$(BUILD)
demo:      ; $(SANDBOX) $(MAKE) --no-print-directory in-demo BUILD=$(BUILD)
bench:     ; $(SANDBOX) $(MAKE) --no-print-directory in-bench BUILD=$(BUILD)
fuzz:      ; $(SANDBOX) $(MAKE) --no-print-directory in-fuzz BUILD=$(BUILD)
test-asan: ; $(SANDBOX) $(MAKE) --no-print-directory in-test-asan BUILD=$(BUILD)
sandbox:   ; scripts/sandbox ensure
clean:     ; rm -rf $(BUILD)

.PHONY: in-test in-cpp-test in-install in-pytest in-demo in-bench
in-test: in-cpp-test in-install in-pytest

in-cpp-test:
	cmake -S . -B $(BUILD)/cpp -G Ninja -DBRISQUEL_MODULE=OFF -DBRISQUEL_TESTS=ON >/dev/null
	cmake --build $(BUILD)/cpp -j $(JOBS)
	$(BUILD)/cpp/brisquel_cpp_tests --gtest_brief=1

in-install:
	$(PIP_INSTALL) -Cbuild-dir=$(BUILD)/py -Ccmake.define.BRISQUEL_TEST_HOOKS=ON .

in-pytest:
	cd tests && $(PY) -m pytest -q -p no:cacheprovider .

in-demo: in-install
	$(PY) -m brisquel examples/events_idl.json examples/logs.txt

in-bench: in-install
	$(PY) bench/run.py
