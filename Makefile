# The two commands of the README. `make test` installs what a fresh machine lacks, builds the
# native, sanitizer and Windows configurations and runs every suite.
JOBS ?= 2
PRESETS ?= native asan tsan win32

.PHONY: test demo docs deps build-% test-% bench fuzz format clean

test: deps
	@# Benchmarks are built, not timed: one that no longer compiles fails the run.
	@$(MAKE) --no-print-directory build-bench
	@set -e; for p in $(PRESETS); do $(MAKE) --no-print-directory test-$$p; done

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

# Each benchmark prints its figures, then each one beside its reference with the ratio.
BENCH_ARGS ?= --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
bench: deps-native build-bench
	@set -e; for b in build/bench/bin/bench_*; do echo "== $$b"; $$b $(BENCH_ARGS); done

fuzz: deps-native
	cmake --preset fuzz >/dev/null && cmake --build build/fuzz -j $(JOBS)

format:
	find include src sim tools tests bench fuzz -name '*.cpp' -o -name '*.h' | xargs clang-format -i

clean:
	rm -rf build
