# Thin wrapper around CMake + Ninja.  Each flavour has its own build folder.
PORT ?= 8080
JOBS ?= $(shell nproc)
CTEST = ctest --output-on-failure -j $(JOBS)
DEPS = scripts/install-deps

.PHONY: all build run run-fixed test asan test32 valgrind bench fuzz format clean deps install consumer

all: build

deps:
	@$(DEPS)

build/build.ninja:
	cmake -S . -B build -G Ninja

build: build/build.ninja
	cmake --build build -j $(JOBS)

# The proxy, on 127.0.0.1:$(PORT); options after OPTS="...".
run: deps
	@$(MAKE) --no-print-directory build
	./build/ombrix -l 127.0.0.1:$(PORT) $(OPTS)

# The fixed-reply server of main.cc.
run-fixed: deps
	@$(MAKE) --no-print-directory build
	./build/ombrix-proxy $(PORT)

test: deps
	@$(MAKE) --no-print-directory build
	cd build && $(CTEST)

build-asan/build.ninja:
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DOMBRIX_SANITIZE=ON

asan: deps build-asan/build.ninja
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 $(CTEST)

build-i386/build.ninja:
	cmake -S . -B build-i386 -G Ninja --toolchain cmake/i386.cmake

# Natively where the kernel runs i386 programs, else under QEMU (see
# scripts/install-deps); ends with how they ran and what was skipped.
test32:
	@$(DEPS) --i386
	@$(MAKE) --no-print-directory build-i386/build.ninja
	cmake --build build-i386 -j $(JOBS)
	JOBS=$(JOBS) scripts/test32 build-i386

# The test programs of build/ under valgrind memcheck, death tests left out.
valgrind: deps
	@$(MAKE) --no-print-directory build
	scripts/valgrind-tests build

build-bench/build.ninja:
	cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DOMBRIX_BENCH=ON

# Also replays a million generated heads through the HTTP parsers and
# their pattern model (the optimised build is the one measured).
bench: deps build-bench/build.ninja
	cmake --build build-bench -j $(JOBS)
	OMBRIX_DIFF_HEADS=1000000 build-bench/tests/http_test \
	  --gtest_filter='*AgreeWithPatterns*'
	@for b in build-bench/bench/*_bench; do echo "== $$b"; $$b --benchmark_min_time=0.2 || exit 1; done

# make bench-proxy BENCH_PROXY_ARGS='-d 5 -s hit-small': build/ombrix beside
# Squid on a local nginx origin (bench/proxy-compare --help).  Not run by CI.
.PHONY: bench-proxy
bench-proxy:
	@$(DEPS) --bench
	@$(MAKE) --no-print-directory build/build.ninja
	cmake --build build -j $(JOBS) --target ombrix
	bench/proxy-compare $(BENCH_PROXY_ARGS)

# make fuzz FUZZ_SECONDS=60: every harness in fuzz/ for that long under
# libFuzzer, ASan and UBSan (clang, build-fuzz/); see fuzz/run.
FUZZ_SECONDS ?= 60
build-fuzz/build.ninja:
	cmake -S . -B build-fuzz -G Ninja -DCMAKE_C_COMPILER=clang \
	  -DCMAKE_CXX_COMPILER=clang++ -DOMBRIX_SANITIZE=ON -DOMBRIX_FUZZ=ON

fuzz: deps build-fuzz/build.ninja
	cmake --build build-fuzz -j $(JOBS) --target fuzz_all
	fuzz/run build-fuzz $(FUZZ_SECONDS)

# make install PREFIX=/opt/ombrix: the archives, headers, CMake package and
# ombrix.pc.
PREFIX ?= /usr/local
install: deps
	@$(MAKE) --no-print-directory build
	cmake --install build --prefix $(PREFIX)

# make consumer: install into a temporary prefix, build examples/ against it
# (find_package and pkg-config) and run the echo test; scripts/consumer-test
# --i386 does the same for the 32-bit build.
consumer:
	scripts/consumer-test

format:
	clang-format -i $$(git ls-files '*.cc' '*.h')

clean:
	rm -rf build build-asan build-i386 build-bench build-fuzz
