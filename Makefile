# Front door of the build.  Everything is CMake underneath.
#   make            build (build/)
#   make test       configure, build and run the whole suite with ctest
#   make check      the same under AddressSanitizer + UndefinedBehaviorSanitizer (build-asan/)
#   make demo       the whole road of two sample plugins, in a private root
#   make bench      benchmarks (bench/run)
# Each target first runs tools/setup with its own name, which installs the
# Debian packages it lacks (as root) or prints the command root must run;
# PI_SKIP_SETUP=1 skips that.
# Quiet by default: no directory lines of make, no echoed commands, the
# configure and build lines kept in DIR/configure.log and DIR/build.log (shown
# when the step fails), ctest's lines as they are; VERBOSE=1 shows everything.

BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_ARGS ?=
CTEST_ARGS ?=

.PHONY: all build test check demo bench clean format format-check

all: build

ifeq ($(VERBOSE),)
MAKEFLAGS += --no-print-directory
Q := @
# Runs a step with its output in a log, shown (without progress lines) only when it fails:
# $(call logged,LOG,COMMAND).
logged = mkdir -p $(dir $(1)) && { $(2) >$(1) 2>&1 || { \
  grep -v -E '^\[ *[0-9]+%\] |^Scanning dependencies|^Consolidate compiler' $(1); exit 1; }; }
CTEST_QUIET := --progress
# Builds DIR, saying where its lines are: $(call cmake_build,DIR).
cmake_build = echo "building $(1)/ (its lines in $(1)/build.log; VERBOSE=1 shows them)" && \
  $(call logged,$(1)/build.log,cmake --build $(1) -j $(JOBS))
else
Q :=
logged = $(2)
CTEST_QUIET :=
cmake_build = cmake --build $(1) -j $(JOBS)
endif

# Configures a build directory unless a configure there completed (one that
# stopped half way is run again): $(call configure,DIR,CMAKE ARGUMENTS).
configure = [ -f $(1)/Makefile ] || [ -f $(1)/build.ninja ] || \
  { $(call logged,$(1)/configure.log,cmake -S . -B $(1) $(2) $(CMAKE_ARGS)); }

build:
	$(Q)tools/setup build
	$(Q)$(call configure,$(BUILD),-DCMAKE_BUILD_TYPE=RelWithDebInfo)
	$(Q)$(call cmake_build,$(BUILD))

test:
	$(Q)tools/setup test
	$(Q)$(call configure,$(BUILD),-DCMAKE_BUILD_TYPE=RelWithDebInfo)
	$(Q)$(call cmake_build,$(BUILD))
	$(Q)cd $(BUILD) && ctest $(CTEST_QUIET) --output-on-failure -j $(JOBS) $(CTEST_ARGS)

check:
	$(Q)tools/setup check
	$(Q)$(call configure,$(ASAN_BUILD),-DCMAKE_BUILD_TYPE=Debug -DPI_SANITIZE=ON)
	$(Q)$(call cmake_build,$(ASAN_BUILD))
	$(Q)cd $(ASAN_BUILD) && \
	  ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:abort_on_error=0 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  ctest $(CTEST_QUIET) --output-on-failure -j $(JOBS) $(CTEST_ARGS)

demo:
	tools/setup demo
	BUILD=$(BUILD) JOBS=$(JOBS) tools/demo.sh

bench:
	tools/setup bench
	bench/run

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)

# The one format (.clang-format) over every tracked C and C++ file: format
# rewrites them, format-check fails naming each file it would change.
FORMAT_FILES = git ls-files -z '*.c' '*.cc' '*.h'
format:
	tools/setup format
	$(FORMAT_FILES) | xargs -0 clang-format -i

format-check:
	tools/setup format
	$(FORMAT_FILES) | xargs -0 clang-format --dry-run -Werror

# ---------------------------------------------------------------------------
# Reliability stages (CI runs them through .ci/run).
#   make valgrind     the suite under valgrind memcheck (leaks, errors, descriptors)
#   make fuzz-smoke   every libFuzzer target for FUZZ_SECONDS seconds (clang)
#   make ppc-test     the suite cross built for 32-bit big-endian PowerPC, run under qemu-ppc
#   make syscall-faults  every file-changing call of every file-changing operation failed, then
#                        killed, in turn (strace's fault injection; tests/syscall_faults/run.sh)
FUZZ_BUILD   ?= build-fuzz
FUZZ_SECONDS ?= 60
PPC_BUILD    ?= build-ppc

#   make real-packages   Debian packages (apt-get download, cached) as plugin images through
#                        the road inside sandbox-run; one line per package (tests/real_packages/run.sh)
.PHONY: valgrind fuzz-smoke ppc-test syscall-faults real-packages

valgrind:
	tools/setup valgrind
	BUILD=$(BUILD) JOBS=$(JOBS) .ci/valgrind.sh

fuzz-smoke:
	tools/setup fuzz-smoke
	FUZZ_BUILD=$(FUZZ_BUILD) FUZZ_SECONDS=$(FUZZ_SECONDS) JOBS=$(JOBS) .ci/fuzz-smoke.sh

ppc-test:
	tools/setup ppc-test
	PPC_BUILD=$(PPC_BUILD) HOST_BUILD=$(BUILD) JOBS=$(JOBS) .ci/ppc-test.sh $(CTEST_ARGS)

syscall-faults:
	tools/setup syscall-faults
	$(call configure,$(BUILD),-DCMAKE_BUILD_TYPE=RelWithDebInfo)
	cmake --build $(BUILD) -j $(JOBS) --target pluginctl sandbox-run mkplugin srgtool
	tests/syscall_faults/run.sh $(BUILD)

real-packages:
	tools/setup real-packages
	tests/real_packages/run.sh $(BUILD)
