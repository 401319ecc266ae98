# The project's user interface: make (release build), make test, make bench, make fuzz, make demo.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
RELEASE := build/release
SANITIZE := build/sanitize
TSAN := build/tsan
# The suites with threads of their own, run again under ThreadSanitizer.
TSAN_SUITES := session_tests control_tests pbx_tests capi_tests
BENCH := build/bench
CMAKE_GEN := -G Ninja

.PHONY: all release sanitize tsan test check-memory soak bench fuzz demo bridge deps format clean

all: release

deps:
	@scripts/install-deps --check >/dev/null 2>&1 || scripts/install-deps

release: deps
	cmake -S . -B $(RELEASE) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(RELEASE) -j $(JOBS)

# AddressSanitizer + UndefinedBehaviorSanitizer with clang, fuzz targets included.
sanitize: deps
	cmake -S . -B $(SANITIZE) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang -DVOXTREL_SANITIZE=ON \
	  -DVOXTREL_FUZZ=ON
	cmake --build $(SANITIZE) -j $(JOBS)

# ThreadSanitizer with clang, for the suites that run threads.
tsan: deps
	cmake -S . -B $(TSAN) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang -DVOXTREL_TSAN=ON
	cmake --build $(TSAN) -j $(JOBS) --target $(TSAN_SUITES)

test: release sanitize tsan
	@echo "== test suites, release build =="
	ctest --test-dir $(RELEASE) -j $(JOBS) --output-on-failure
	@echo "== test suites under ASan+UBSan, with short fuzz runs =="
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(SANITIZE) -j $(JOBS) --output-on-failure
	@scripts/fuzz-summary $(SANITIZE)
	@echo "== threaded suites under ThreadSanitizer =="
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --test-dir $(TSAN) -j $(JOBS) --output-on-failure -R '^(Session|Control|Pbx|CApi)'
	@echo "== unit suites under valgrind memcheck =="
	scripts/check-memory $(RELEASE)

# The unit suites under valgrind's memcheck; part of make test.
check-memory: release
	scripts/check-memory $(RELEASE)

# Ten minutes of many controls against faulting simulators, in phases: mixed work under
# chaos, bursts, reconnects from handlers and after losses, hostile messages (make test runs a
# short one). The run restarts itself with 1 MiB stacks for all its threads.
soak: release
	$(RELEASE)/tests/voxtrel_soak --seconds 600 --controls 16 --simulators 3

# Builds the benchmarks, runs each with its references, and ends with one table of every figure
# beside its reference (also in build/bench/report.md). Each program's output is kept in
# build/bench; docs/performance.md tells what each figure measures.
PYTHON ?= $(shell command -v python3 || echo /usr/bin/python3)
BENCH_TIME ?= 0.25

bench: deps
	@echo "== configuring and building the benchmarks in $(BENCH)"
	@mkdir -p $(BENCH)
	@cmake -S . -B $(BENCH) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DVOXTREL_TESTS=OFF \
	  -DVOXTREL_BENCH=ON >$(BENCH)/build.log 2>&1 \
	  && cmake --build $(BENCH) -j $(JOBS) --target voxtrel_benchmarks >>$(BENCH)/build.log 2>&1 \
	  || { tail -n 40 $(BENCH)/build.log; exit 1; }
	@echo "== voxtrel_bench: parse, write, hostile input; pugixml, xmlrpc-c, a plain writer"
	@$(BENCH)/bench/voxtrel_bench --benchmark_min_time=$(BENCH_TIME) --benchmark_repetitions=5 \
	  --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true \
	  --benchmark_out=$(BENCH)/results.json >$(BENCH)/voxtrel_bench.txt 2>&1 \
	  || { tail -n 20 $(BENCH)/voxtrel_bench.txt; exit 1; }
	@echo "== Python's xmlrpc.client on the same messages"
	@rm -rf $(BENCH)/documents && mkdir -p $(BENCH)/documents
	@$(BENCH)/bench/voxtrel_bench --dump-documents $(BENCH)/documents
	@$(PYTHON) bench/compare_python.py $(BENCH)/documents $(BENCH)/python.json
	@echo "== voxtrel_delivery_bench: event delivery beside a plain hand-off"
	@$(BENCH)/bench/voxtrel_delivery_bench 20000 >$(BENCH)/delivery.txt 2>&1 \
	  || echo "   failed: see $(BENCH)/delivery.txt"
	@echo "== voxtrel_session_bench: throughput, round trip, Connect, memory at 1000 sessions"
	@$(BENCH)/bench/voxtrel_session_bench 50000 >$(BENCH)/session.txt 2>&1 \
	  || echo "   failed: see $(BENCH)/session.txt"
	@echo
	@$(PYTHON) bench/report.py --results $(BENCH)/results.json --python $(BENCH)/python.json \
	  --runtime $(BENCH)/delivery.txt $(BENCH)/session.txt --build-dir $(BENCH) \
	  --markdown $(BENCH)/report.md

fuzz: sanitize
	VOXTREL_FUZZ_SECONDS=60 ctest --test-dir $(SANITIZE) -L fuzz --output-on-failure
	@scripts/fuzz-summary $(SANITIZE)

# The bridge (docs/bridge.md) with the library just built, against a simulator on
# 127.0.0.1:5060 (user demo, password demo) that stops with it; BRIDGE_ARGS passes options on.
bridge: release
	@$(RELEASE)/tools/voxtrel/voxtrel pbx --listen 127.0.0.1:5060 >/dev/null & pbx=$$!; \
	trap 'kill $$pbx 2>/dev/null' EXIT INT TERM; \
	PYTHONPATH=bindings/python VOXTREL_LIBRARY=$(RELEASE)/src/libvoxtrel.so \
	  /usr/bin/python3 -m voxtrel.bridge $(BRIDGE_ARGS)

demo: release
	@if [ -x $(RELEASE)/tools/voxtrel/voxtrel ]; then $(RELEASE)/tools/voxtrel/voxtrel demo; \
	else echo "not built yet: the control and the voxtrel command come with later work"; fi

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build

# Windows cross builds of the layers and their tests with mingw-w64, 64-bit and 32-bit.
# GoogleTest is first built for each target from Debian's source package; the tests only compile
# here (they run under Wine later).
MINGW_TARGETS := mingw64 mingw32
GTEST_SOURCE := /usr/src/googletest

.PHONY: mingw $(MINGW_TARGETS)

mingw: $(MINGW_TARGETS)

$(MINGW_TARGETS): deps
	cmake -S $(GTEST_SOURCE) -B build/$@-gtest $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/$@.cmake -DBUILD_GMOCK=OFF \
	  -DCMAKE_INSTALL_PREFIX=$(CURDIR)/build/$@-gtest/install
	cmake --build build/$@-gtest -j $(JOBS)
	cmake --install build/$@-gtest >/dev/null
	cmake -S . -B build/$@ $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/$@.cmake \
	  -DGTest_DIR=$(CURDIR)/build/$@-gtest/install/lib/cmake/GTest \
	  -DVOXTREL_PBX_COMMAND=$(CURDIR)/$(RELEASE)/tools/voxtrel/voxtrel
	cmake --build build/$@ -j $(JOBS) --target xml_tests xmlrpc_tests protocol_tests net_tests \
	  voxtrel_control $(WINDOWS_TARGETS)

test: mingw

# The ActiveX control voxtrel.ocx and its host voxtrel-com-host.exe, 64-bit and 32-bit, with their
# suites, and libvoxtrel.dll with the C interface's suite (linked to the static library); test-wine
# runs the suites under Wine (a private prefix in each build directory, headless). The full scripts
# connect to the native simulator of the release build when it is there. Without 32-bit Wine the
# 32-bit suites report themselves skipped.
WINDOWS_TARGETS := voxtrel_ocx voxtrel-com-host com_tests com_client_tests voxtrel_shared capi_tests

.PHONY: windows test-wine

windows: mingw

test-wine: windows release
	@echo "== the ActiveX control under Wine, 64-bit =="
	ctest --test-dir build/mingw64/tests/com -j $(JOBS) --output-on-failure
	@echo "== the ActiveX control under Wine, 32-bit =="
	ctest --test-dir build/mingw32/tests/com -j $(JOBS) --output-on-failure
	@if [ -x /usr/lib/wine/wine ]; then echo "32-bit Wine run: done"; \
	else echo "32-bit Wine run: skipped (this kernel cannot run 32-bit programs); the 32-bit" \
	  "control, host and suites were compiled and linked"; fi

test: test-wine

# Installs the release build into PREFIX (default /usr/local), under DESTDIR when it is given:
# the voxtrel command, libvoxtrel, its header, CMake and pkg-config files, the Python package.
PREFIX ?= /usr/local

.PHONY: install

install: release
	DESTDIR="$(DESTDIR)" cmake --install $(RELEASE) --prefix "$(PREFIX)"
