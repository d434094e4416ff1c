# Front door of the build.  Everything is CMake underneath.
#   make            build (build/)
#   make test       configure, build and run the whole suite with ctest
#   make check      the same under AddressSanitizer + UndefinedBehaviorSanitizer (build-asan/)
#   make demo       the whole road of two sample plugins, in a private root
#   make bench      benchmarks (bench/run)

BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_ARGS ?=
CTEST_ARGS ?=

.PHONY: all build test check demo bench clean

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) $(CTEST_ARGS)

$(ASAN_BUILD)/CMakeCache.txt:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DPI_SANITIZE=ON $(CMAKE_ARGS)

check: $(ASAN_BUILD)/CMakeCache.txt
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && \
	  ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:abort_on_error=0 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS) $(CTEST_ARGS)

demo:
	BUILD=$(BUILD) JOBS=$(JOBS) tools/demo.sh

bench:
	bench/run

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)

# ---------------------------------------------------------------------------
# Reliability stages (CI runs them through .ci/run).
#   make valgrind     the suite under valgrind memcheck (leaks, errors, descriptors)
#   make fuzz-smoke   every libFuzzer target for FUZZ_SECONDS seconds (clang)
#   make ppc-test     the suite cross built for 32-bit big-endian PowerPC, run under qemu-ppc
FUZZ_BUILD   ?= build-fuzz
FUZZ_SECONDS ?= 60
PPC_BUILD    ?= build-ppc

#   make syscall-faults  every file-changing call of every file-changing operation failed, then
#                        killed, in turn (strace's fault injection; tests/syscall_faults/run.sh)
.PHONY: valgrind fuzz-smoke ppc-test syscall-faults

valgrind:
	BUILD=$(BUILD) JOBS=$(JOBS) .ci/valgrind.sh

fuzz-smoke:
	FUZZ_BUILD=$(FUZZ_BUILD) FUZZ_SECONDS=$(FUZZ_SECONDS) JOBS=$(JOBS) .ci/fuzz-smoke.sh

ppc-test:
	PPC_BUILD=$(PPC_BUILD) HOST_BUILD=$(BUILD) JOBS=$(JOBS) .ci/ppc-test.sh $(CTEST_ARGS)

syscall-faults:
	@if [ -x tools/setup ]; then tools/setup syscall-faults; fi
	$(MAKE) $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target pluginctl sandbox-run mkplugin srgtool
	tests/syscall_faults/run.sh $(BUILD)
