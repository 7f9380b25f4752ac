# Every target runs inside the project's Debian testing root (scripts/sandbox),
# which is created on first use. Targets named in-* are the same steps run
# directly, for use inside that root or on a machine that already has the
# dependencies (Python 3.14, a C++23 compiler, CMake, ICU, OpenSSL, RapidJSON, simdutf, simdjson, zstd, GoogleTest).

BUILD ?= build
JOBS ?= 2
SANDBOX := scripts/sandbox run
PY := python3
# -v shows the build's progress, a line per file compiled ([12/80] ...): the first build takes minutes.
PIP_INSTALL := $(PY) -m pip install -v --no-build-isolation --no-deps --break-system-packages --root-user-action=ignore

.PHONY: test test-ft test-tsan demo bench fuzz test-asan sandbox clean test-fetch-kill bench-follow
# The npm packages some tests compare with are installed first, outside the
# root, with this machine's npm (scripts/npm-peers); without them those
# comparisons skip and say so.
test:      ; scripts/npm-peers && $(SANDBOX) $(MAKE) --no-print-directory in-test BUILD=$(BUILD)
test-ft:   ; scripts/npm-peers && $(SANDBOX) $(MAKE) --no-print-directory in-test-ft BUILD=$(BUILD)
test-tsan: ; $(SANDBOX) $(MAKE) --no-print-directory in-test-tsan BUILD=$(BUILD)
demo:      ; $(SANDBOX) $(MAKE) --no-print-directory in-demo BUILD=$(BUILD)
bench:     ; $(SANDBOX) $(MAKE) --no-print-directory in-bench BUILD=$(BUILD) BENCH_ARGS='$(BENCH_ARGS)' \
             DATASET_BENCH_ARGS='$(DATASET_BENCH_ARGS)'
fuzz:      ; $(SANDBOX) $(MAKE) --no-print-directory in-fuzz BUILD=$(BUILD) FUZZ_SECONDS=$(FUZZ_SECONDS)
test-fetch-kill: ; $(SANDBOX) $(MAKE) --no-print-directory in-test-fetch-kill BUILD=$(BUILD)
bench-follow: ; $(SANDBOX) $(MAKE) --no-print-directory in-bench-follow BUILD=$(BUILD)
test-asan: ; $(SANDBOX) $(MAKE) --no-print-directory in-test-asan BUILD=$(BUILD)
sandbox:   ; scripts/sandbox ensure
clean:     ; rm -rf $(BUILD)

.PHONY: in-test in-cpp-test in-install in-pytest in-demo in-bench in-typecheck in-odr-check
in-test: in-cpp-test in-install in-typecheck in-pytest in-odr-check

in-cpp-test:
	cmake -S . -B $(BUILD)/cpp -G Ninja -DBRISQUEL_MODULE=OFF -DBRISQUEL_TESTS=ON >/dev/null
	cmake --build $(BUILD)/cpp -j $(JOBS)
	$(BUILD)/cpp/brisquel_cpp_tests --gtest_brief=1

# Every file compiled without inlining, so that each inline function a file
# uses is emitted in it; scripts/odr_check.py then fails on any function or
# variable that is also defined out of line elsewhere (the linker would keep
# one of the two without a word).
in-odr-check:
	cmake -S . -B $(BUILD)/odr -G Ninja -DCMAKE_BUILD_TYPE=None -DCMAKE_CXX_FLAGS=-O0 -DBRISQUEL_TEST_HOOKS=ON >/dev/null
	cmake --build $(BUILD)/odr -j $(JOBS)
	$(PY) scripts/odr_check.py $(BUILD)/odr

in-install:
	@echo "Building brisquel and installing it into the build root (the first time: a few minutes)"
	$(PIP_INSTALL) -Cbuild-dir=$(BUILD)/py -Ccmake.define.BRISQUEL_TEST_HOOKS=ON .

in-pytest:
	cd tests && $(PY) -m pytest -q -rs -p no:cacheprovider .

# The stubs against the installed modules (stubtest; the differences allowed, each
# with its reason, in tests/stubtest-allowlist.txt), then mypy --strict over the
# package and the README's Python examples (scripts/readme_examples.py). Settings
# in pyproject.toml; the cache in $(BUILD) keeps a second run to seconds.
MYPY_CACHE = $(BUILD)/mypy-cache
in-typecheck:
	$(PY) -m mypy.stubtest --mypy-config-file pyproject.toml --allowlist tests/stubtest-allowlist.txt \
	  brisquel._tables brisquel._brisquel
	$(PY) scripts/readme_examples.py README.md $(BUILD)/readme-examples
	$(PY) -m mypy --cache-dir $(MYPY_CACHE) python/brisquel $(BUILD)/readme-examples

# Sample transactions (a few MB, made into $(BUILD)/demo) exported to Parquet
# ($(BUILD)/demo/out/events/... and .../calls/...; so small an input is decoded
# in this process), with the summary; then the plain command on a few log lines.
in-demo: in-install
	$(PY) examples/make_transactions.py $(BUILD)/demo/transactions
	$(PY) -m brisquel export examples/events_idl.json --out $(BUILD)/demo/out $(BUILD)/demo/transactions
	@echo
	$(PY) -m brisquel examples/events_idl.json examples/logs.txt
	@echo
	$(PY) examples/fetch_demo.py $(BUILD)/demo/fetched

# Twenty kill -9 at random moments of one fetch, each followed by a resume: every row once.
in-test-fetch-kill: in-install
	cd tests && BRISQUEL_FETCH_KILLS=20 $(PY) -m pytest -q -p no:cacheprovider test_fetch.py -k kill_9

# Following a growing chain on the loopback node for 5 minutes: how long after the node has a block its rows are in place.
in-bench-follow: in-install
	$(PY) bench/fetch.py --follow 300

# Timings only, never pass/fail; e.g. make bench BENCH_ARGS=--quick (see bench/run.py --help).
# bench/dataset.py generates its 1,000,000 events into $(BUILD)/bench-dataset once (about 450 MB).
in-bench: in-install
	$(PY) bench/run.py $(BENCH_ARGS)
	$(PY) bench/fetch.py
	$(PY) bench/dataset.py $(DATASET_BENCH_ARGS)

# Fuzzing with libFuzzer (clang), AddressSanitizer and UBSan: each target runs
# FUZZ_SECONDS on its corpus in fuzz/corpus-NAME (seeded at each run, git-ignored).
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := idl_loader payload log_line rpc_json table tx_walk accounts codama
FUZZ_CMAKE := -DBRISQUEL_FUZZ=ON -DBRISQUEL_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: in-fuzz in-fuzz-build in-test-asan
in-fuzz-build:
	CC=clang CXX=clang++ cmake -S . -B $(BUILD)/fuzz -G Ninja $(FUZZ_CMAKE) >/dev/null
	cmake --build $(BUILD)/fuzz -j $(JOBS) --target $(addsuffix _fuzz,$(FUZZ_TARGETS))

in-fuzz: in-fuzz-build
	$(PY) fuzz/make_corpus.py
	set -e; for t in $(FUZZ_TARGETS); do \
	  echo "fuzz: $$t for $(FUZZ_SECONDS) s"; \
	  dict=; [ -f fuzz/$$t.dict ] && dict=-dict=fuzz/$$t.dict; \
	  ASAN_OPTIONS=detect_leaks=$$([ $$t = idl_loader ] && echo 1 || echo 0) \
	  nice -n 10 $(BUILD)/fuzz/$${t}_fuzz -max_total_time=$(FUZZ_SECONDS) -timeout=30 -rss_limit_mb=3072 \
	    -print_final_stats=1 -artifact_prefix=$(BUILD)/fuzz/$$t- $$dict fuzz/corpus-$$t; \
	done

# The C++ tests and the whole pytest suite against a module built with
# AddressSanitizer and UBSan. The module goes to $(BUILD)/asan/site (first on
# PYTHONPATH), never over the normal install; LSan reports any leak whose stack
# is not one of the interpreter's own allocations listed in tests/lsan.supp.
# libstdc++ is preloaded too: the interpreter does not link it, and the ASan
# runtime must find the real __cxa_throw when it starts. A 16 MB quarantine
# still catches use after free within a batch, and lets resident memory settle
# for the tests that watch it.
ASAN_SITE = $(abspath $(BUILD))/asan/site
ASAN_ENV = LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so.6)" PYTHONPATH=$(ASAN_SITE) \
  ASAN_OPTIONS=detect_leaks=1:malloc_context_size=3:quarantine_size_mb=16 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0

in-test-asan:
	cmake -S . -B $(BUILD)/asan -G Ninja -DBRISQUEL_SANITIZE=address,undefined -DBRISQUEL_TESTS=ON \
	  -DBRISQUEL_TEST_HOOKS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD)/asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 $(BUILD)/asan/brisquel_cpp_tests --gtest_brief=1
	rm -rf $(ASAN_SITE) && mkdir -p $(ASAN_SITE) && cp -r python/brisquel $(ASAN_SITE)/
	cp $(BUILD)/asan/_brisquel*.so $(BUILD)/asan/_tables*.so $(ASAN_SITE)/brisquel/
	$(ASAN_ENV) $(PY) -c 'import brisquel._brisquel as m; assert m.__file__.startswith("$(ASAN_SITE)/"), m.__file__'
	cd tests && $(ASAN_ENV) $(PY) -m pytest -q -p no:cacheprovider .

# The whole suite on a free-threaded interpreter (the GIL off), built once from
# the CPython source in ../shared by scripts/python-ft and kept beside the build
# root. Its pure-Python test and build dependencies are Debian's for 3.14,
# linked into one folder (scripts/pure_deps.py); compiled ones (pyarrow, numpy,
# pandas) cannot load there and are left out, so the tests that need them skip.
# brisquel goes to $(BUILD)/ft/site, never into the shared interpreter.
FT_ARCHIVE := $(abspath $(CURDIR)/..)/shared/cpython-ft/cpython-ft.tar.xz
FT_DEPS_DISTS := pytest hypothesis scikit-build-core base58
FT_SITE = $(abspath $(BUILD))/ft/site
FT_DEPS = $(abspath $(BUILD))/ft/deps
FT_ENV = PYTHONPATH=$(FT_SITE):$(FT_DEPS) PYTHON_GIL=0

.PHONY: in-test-ft in-ft-suite in-test-tsan in-tsan-suite
ifeq ($(wildcard $(FT_ARCHIVE)),)
in-test-ft in-test-tsan:
	@echo "$(@:in-%=%): skipped: $(FT_ARCHIVE) is absent (the free-threaded interpreter is built from it)"
else
in-test-ft:
	prefix=$$(scripts/python-ft ft) && $(MAKE) --no-print-directory in-ft-suite FT_PY=$$prefix/bin/python3

in-ft-suite:
	$(FT_PY) -c 'import sysconfig; assert sysconfig.get_config_var("Py_GIL_DISABLED"), "not a free-threaded build"'
	$(PY) scripts/pure_deps.py $(FT_DEPS) $(FT_DEPS_DISTS)
	rm -rf $(FT_SITE)
	PYTHONPATH=$(FT_DEPS) $(FT_PY) -m pip install --quiet --no-build-isolation --no-deps --root-user-action=ignore \
	  --target $(FT_SITE) -Cbuild-dir=$(BUILD)/ft/py -Ccmake.define.BRISQUEL_TEST_HOOKS=ON .
	@if $(FT_ENV) $(FT_PY) -c 'import mypy.stubtest' 2>/dev/null; then \
	  $(MAKE) --no-print-directory in-typecheck PY="$(FT_ENV) $(FT_PY)" MYPY_CACHE=$(BUILD)/ft/mypy-cache; \
	else \
	  echo "typecheck: SKIPPED on the free-threaded interpreter: mypy is not importable there (Debian's is"; \
	  echo "  compiled for the regular 3.14); make test checks the stubs and the package"; \
	fi
	cd tests && $(FT_ENV) BRISQUEL_STRESS_SECONDS=15 $(FT_PY) -m pytest -q -p no:cacheprovider -rs .

# The tests that start threads, under ThreadSanitizer: a second free-threaded
# interpreter built with it, and the module built with -fsanitize=thread (in
# $(BUILD)/tsan/site). Warnings inside CPython known to be benign are listed,
# each with its reason, in tests/tsan.supp; any other fails the run. Address
# randomisation is turned off for the shadow memory's sake.
TSAN_SITE = $(abspath $(BUILD))/tsan/site
TSAN_DEPS = $(abspath $(BUILD))/tsan/deps
TSAN_ENV = PYTHONPATH=$(TSAN_SITE):$(TSAN_DEPS) PYTHON_GIL=0 BRISQUEL_STRESS_SECONDS=20 \
  TSAN_OPTIONS="suppressions=$(CURDIR)/tests/tsan.supp exitcode=66 second_deadlock_stack=1"
TSAN_TESTS ?= test_stress.py test_tables.py test_robustness.py -k "thread or change"

in-test-tsan:
	prefix=$$(scripts/python-ft tsan) && $(MAKE) --no-print-directory in-tsan-suite TSAN_PY=$$prefix/bin/python3

in-tsan-suite:
	$(PY) scripts/pure_deps.py $(TSAN_DEPS) $(FT_DEPS_DISTS)
	cmake -S . -B $(BUILD)/tsan -G Ninja -DBRISQUEL_SANITIZE=thread -DBRISQUEL_TEST_HOOKS=ON \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE=$(TSAN_PY) >/dev/null
	cmake --build $(BUILD)/tsan -j $(JOBS) --target _brisquel _tables _brisquel_testing
	rm -rf $(TSAN_SITE) && mkdir -p $(TSAN_SITE) && cp -r python/brisquel $(TSAN_SITE)/
	cp $(BUILD)/tsan/_brisquel*.so $(BUILD)/tsan/_tables*.so $(TSAN_SITE)/brisquel/
	cd tests && $(TSAN_ENV) setarch $$(uname -m) -R $(TSAN_PY) -m pytest -q -s -p no:cacheprovider $(TSAN_TESTS)
endif
