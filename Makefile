# The user's verbs. Each configures and builds what it needs.
PRESET ?= release
PMTSYS_WERROR ?= OFF
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all build demo test check bench format clean asan tsan test-windows stress

all: build

build:
	cmake --preset $(PRESET) >/dev/null
	cmake --build --preset $(PRESET) -j $(JOBS)

demo:
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS) --target pmtsys_demo
	./build/release/examples/pmtsys_demo

test:
	cmake --preset $(PRESET) -DPMTSYS_WERROR=$(PMTSYS_WERROR) >/dev/null
	cmake --build --preset $(PRESET) -j $(JOBS)
	ctest --preset $(PRESET)

asan:
	$(MAKE) test PRESET=asan

tsan:
	$(MAKE) test PRESET=tsan

# Windows: a mingw-w64 cross build whose tests run under Wine. A persistent wineserver and one
# finished warm-up process come first: Wine's session services inherit the first client's
# output, and ctest would wait for them (seconds per test, or for ever). The server is stopped
# however the tests end. ctest lists each binary's tests under Wine before it runs any; a listing
# that failed without a word (seen once: exit 1, not even the test main's first line) stops the
# whole run, so that case alone is tried once more.
WINE := /usr/lib/wine/wine64
WINESERVER := /usr/lib/wine/wineserver
WINEPREFIX_DIR := $(CURDIR)/build/mingw/wineprefix

test-windows:
	@if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null || [ ! -x $(WINE) ] || \
	    [ ! -d /usr/src/googletest ]; then \
	  apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq g++-mingw-w64-x86-64 wine64 googletest; \
	fi
	cmake --preset mingw -DPMTSYS_WERROR=$(PMTSYS_WERROR) >/dev/null
	cmake --build --preset mingw -j $(JOBS)
	mkdir -p $(WINEPREFIX_DIR)
	WINEPREFIX=$(WINEPREFIX_DIR) WINEDEBUG=-all bash -c ' \
	  $(WINESERVER) -k 2>/dev/null; trap "$(WINESERVER) -k 2>/dev/null" EXIT; \
	  $(WINESERVER) -p && $(WINE) cmd.exe /c exit </dev/null >/dev/null 2>&1 || exit 1; \
	  ctest --preset mingw 2>&1 | tee build/mingw/ctest.log; status=$${PIPESTATUS[0]}; \
	  if [ $$status -ne 0 ] && grep -q "Error running test executable" build/mingw/ctest.log; then \
	    echo "A test binary did not list its tests under Wine; once more:"; \
	    ctest --preset mingw; status=$$?; \
	  fi; exit $$status'

check:
	bash .ci/run

# The stress programs (tests/stress) at full size; each prints its cycles and time. The
# shutdown race ends the library, so it runs in STRESS_SHUTDOWN_RUNS processes of its own.
STRESS_SHUTDOWN_RUNS ?= 200

stress:
	cmake --preset $(PRESET) >/dev/null
	cmake --build --preset $(PRESET) -j $(JOBS) --target test_stress
	PMTSYS_STRESS=full ./build/$(PRESET)/tests/test_stress --gtest_filter=-StressShutdown.*
	@start=$$(date +%s%N); for run in $$(seq $(STRESS_SHUTDOWN_RUNS)); do \
	  ./build/$(PRESET)/tests/test_stress --gtest_brief=1 --gtest_filter=StressShutdown.* \
	    >/dev/null || { echo "shutdown race failed in run $$run"; exit 1; }; done; \
	echo "stress shutdown race: $(STRESS_SHUTDOWN_RUNS) processes in" \
	  "$$(( ($$(date +%s%N) - start) / 1000000 )) ms"

# Runs every benchmark program with JSON output, then writes docs/performance.md's summary and
# docs/performance-ratios.svg from that JSON (pairs and goals: bench/pairs.txt).
BENCH_MIN_TIME ?= 0.1
BENCH_REPETITIONS ?= 5

bench:
	cmake --preset bench >/dev/null
	cmake --build --preset bench -j $(JOBS)
	python3 bench/report.py --build build/bench --min-time $(BENCH_MIN_TIME) \
	  --repetitions $(BENCH_REPETITIONS)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h' '*.c')

clean:
	rm -rf build
