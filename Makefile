# The user's verbs. Each configures and builds what it needs.
PRESET ?= release
PMTSYS_WERROR ?= OFF
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all build demo test check bench format clean asan tsan

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

check:
	bash .ci/run

bench:
	cmake --preset bench >/dev/null
	cmake --build --preset bench -j $(JOBS)
	@for b in build/bench/bench/bench_*; do echo "== $$b"; $$b --benchmark_min_time=0.2; done

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h' '*.c')

clean:
	rm -rf build
