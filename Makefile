# The two commands: `make run` runs the main job, `make test` builds and runs every test.
# Both install what is missing and build first.

JOBS ?= 2

.PHONY: all deps build build-asan test test-normal test-asan fuzz fuzz-long bench run format clean \
	package

all: build

deps:
	@./scripts/install-deps.sh

build: deps
	@cmake --preset default >/dev/null
	@cmake --build --preset default -j $(JOBS)

build-asan: deps
	@cmake --preset asan >/dev/null
	@cmake --build --preset asan -j $(JOBS)

test-normal: build
	@ctest --preset default -j $(JOBS)

test-asan: build-asan
	@ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --preset asan -j $(JOBS)

test: test-normal test-asan
	@if [ -x scripts/run-fuzzers.sh ]; then ./scripts/run-fuzzers.sh short; fi

# Fuzzes every target for FUZZ_SECONDS seconds each (default 600).
fuzz-long: deps
	@./scripts/run-fuzzers.sh long

bench: deps
	@cmake --preset bench >/dev/null
	@cmake --build --preset bench -j $(JOBS)
	@./scripts/run-benchmarks.sh

run: build
	@./scripts/run-demo.sh

# The Debian package, build/tovrin-helpers_<version>_<arch>.deb.
package: build
	@cd build && cpack -G DEB

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build build-asan build-tsan build-fuzz build-bench
