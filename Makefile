# The two commands of the README. `make test` installs what a fresh machine lacks, builds the
# native, sanitizer and Windows configurations and runs every suite.
JOBS ?= 2
PRESETS ?= native asan tsan win64 win32

.PHONY: test demo docs deps build-% test-% bench fuzz fuzz-campaign soak format clean

test: deps
	@# Benchmarks are built, not timed: one that no longer compiles fails the run.
	@$(MAKE) --no-print-directory build-bench
	@set -e; for p in $(PRESETS); do $(MAKE) --no-print-directory test-$$p; done
	@cat build/windows-widths.txt 2>/dev/null || true

# Only what the demo needs, not the test suites.
demo: deps-native
	cmake --preset native >/dev/null
	cmake --build build/native -j $(JOBS) --target demo_parts
	cd build/native/bin && ./zsig demo --output-dir ../zsig-demo

# The API reference from the header's comments, with the pages of docs/.
docs:
	./scripts/install-deps.sh --docs
	doxygen docs/Doxyfile
	@echo "API reference: build/docs/html/index.html"

deps:
	./scripts/install-deps.sh

deps-native:
	./scripts/install-deps.sh --native

build-%:
	cmake --preset $* >/dev/null
	cmake --build build/$* -j $(JOBS)

test-%: build-%
	cd build/$* && ctest --output-on-failure -j 1

# The Windows builds compare their zsig's exports with the Linux zsig, and serve a serial
# generator to their tests from the Linux simulator library, when the native build has them.
HOST_TOOLS = $(if $(wildcard build/native/bin/zsig),-DZS_HOST_ZSIG=$(CURDIR)/build/native/bin/zsig) \
  $(if $(wildcard build/native/bin/libftd2xx.so),-DZS_HOST_SIM_D2XX=$(CURDIR)/build/native/bin/libftd2xx.so)

build-win64:
	cmake --preset win64 $(HOST_TOOLS) >/dev/null
	cmake --build build/win64 -j $(JOBS)

build-win32:
	cmake --preset win32 $(HOST_TOOLS) >/dev/null
	cmake --build build/win32 -j $(JOBS)

# 64-bit Windows programs run under wine64, which needs nothing 32-bit from the kernel: every
# Windows suite runs on every machine.
test-win64: build-win64
	cd build/win64 && ctest --output-on-failure -j 1
	@mkdir -p build && echo "Windows 64-bit: every suite ran under Wine" >build/windows-widths.txt

# 32-bit Windows programs need a kernel that starts 32-bit programs; some virtual machines do
# not. There the Windows build still runs in full (the build-time tools come from the native
# build) and so do the checks that need no Wine; the rest is reported as not run.
test-win32:
	@mkdir -p build
	@if ./cmake/wine-run.sh --win32 --version >/dev/null 2>&1; then \
	  $(MAKE) --no-print-directory build-win32 && (cd build/win32 && ctest --output-on-failure -j 1) && \
	  echo "Windows 32-bit: every suite ran under Wine" >>build/windows-widths.txt; \
	else \
	  $(MAKE) --no-print-directory build-native && \
	  cmake --preset win32 -DZS_HOST_ZSDESC=$(CURDIR)/build/native/bin/zsdesc \
	        -DZS_HOST_MAKE_SAMPLES=$(CURDIR)/build/native/bin/zs_make_samples \
	        -DZS_HOST_TABLES_GENERATOR=$(CURDIR)/build/native/bin/fourier_tables_generate >/dev/null && \
	  cmake --build build/win32 -j $(JOBS) && \
	  (cd build/win32 && ctest --output-on-failure -j 1 -R '^(dll_imports_exports|windows_zip)$$') && \
	  echo "Windows 32-bit: built and checked; suites under Wine not run: this machine cannot start 32-bit programs" \
	    | tee -a build/windows-widths.txt; \
	fi

# Each benchmark prints its figures, then each one beside its reference with the ratio.
BENCH_ARGS ?= --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
bench: deps-native build-bench
	@set -e; for b in build/bench/bin/bench_*; do echo "== $$b"; $$b $(BENCH_ARGS); done

fuzz: deps-native
	cmake --preset fuzz >/dev/null && cmake --build build/fuzz -j $(JOBS)

# Every fuzz target for SECONDS seconds (or, with RUNS=N, for N executions each), one after
# the other. Each keeps its corpus in build/fuzz/corpus/NAME, seeded from fuzz/corpus/NAME, so
# a campaign goes on where the last one stopped; findings land in build/fuzz/findings/NAME.
# Prints executions, execs/s and the peak resident memory of each.
SECONDS ?= 60
RUNS ?=
FUZZ_LIMIT = $(if $(RUNS),-runs=$(RUNS),-max_total_time=$(SECONDS))
fuzz-campaign: fuzz
	@set -e; for t in build/fuzz/bin/fuzz_*; do \
	  name=$${t##*/fuzz_}; corpus=build/fuzz/corpus/$$name; found=build/fuzz/findings/$$name; \
	  mkdir -p $$corpus $$found; \
	  if [ -d fuzz/corpus/$$name ]; then cp -rn fuzz/corpus/$$name/. $$corpus/; fi; \
	  $$t $(FUZZ_LIMIT) -print_final_stats=1 -artifact_prefix=$$found/ $$corpus \
	    > build/fuzz/$$name.log 2>&1 || { tail -40 build/fuzz/$$name.log; exit 1; }; \
	  stat() { sed -n "s/^stat::$$1: *//p" build/fuzz/$$name.log; }; \
	  echo "$$name: $$(stat number_of_executed_units) executions," \
	       "$$(stat average_exec_per_sec) execs/s, peak RSS $$(stat peak_rss_mb) MB"; \
	done

# Four simulated instruments (FTDI, WinUSB, Wi-Fi, Ethernet) streaming for MINUTES minutes, each
# sent a command every second, one reconnected every minute, a recorded file exported beside
# them. Prints resident memory, threads and descriptors as it goes; fails when memory grows
# after the warm-up, something is left behind or a command never reaches its instrument.
MINUTES ?= 60
soak: deps-native
	cmake --preset native >/dev/null
	cmake --build build/native -j $(JOBS) --target zs_soak
	cd build/native/bin && ./zs_soak --minutes $(MINUTES)

format:
	find include src sim tools tests bench fuzz -name '*.cpp' -o -name '*.h' | xargs clang-format -i

clean:
	rm -rf build
