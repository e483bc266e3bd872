# Pavonix: `make run` starts the program, `make test` builds with sanitizers and runs every test.
SHELL := /bin/bash
JOBS ?= $(shell nproc)
CMAKE_FLAGS := -G Ninja $(if $(CI),-DPAVONIX_WERROR=ON,)
SAN_ENV := ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

.PHONY: run test tsan bench deps deps-test deps-bench build-release plain-build-check clean

deps:
	@scripts/install-deps run

deps-test:
	@scripts/install-deps test

deps-bench:
	@scripts/install-deps bench

build-release: deps
	@cmake -S . -B build/release $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build build/release -j $(JOBS) --target pavonix

run: build-release
	@build/release/app/pavonix

# The benchmark programs are built here too (not run: that is `make bench`), so that a change that
# stops one compiling fails the tests. A process a test leaves running fails them too
# (tests/no_leftovers.py names and ends it).
test: deps-test
	@cmake -S . -B build/asan $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DPAVONIX_SANITIZE="address;undefined" -DPAVONIX_BENCH=ON >/dev/null
	@cmake --build build/asan -j $(JOBS)
	@$(MAKE) --no-print-directory plain-build-check
	@cd build/asan && $(SAN_ENV) python3 ../../tests/no_leftovers.py ctest --output-on-failure -j $(JOBS)

# A plain configure with CMake's default generator (Unix Makefiles) must keep working; the fuzz
# targets, which carry build commands of their own, are what tells it apart from Ninja. They come
# from the shared compiler cache, so this costs a configure and three links.
plain-build-check:
	@env -u CMAKE_GENERATOR cmake -S . -B build/plain -DBUILD_TESTING=ON >/dev/null
	@cmake --build build/plain -j $(JOBS) --target pavonix_fuzz_targets -- --no-print-directory
	@echo "plain build: configure and fuzz targets built with $$(sed -n 's/^CMAKE_GENERATOR:INTERNAL=//p' build/plain/CMakeCache.txt)"

tsan: deps-test
	@cmake -S . -B build/tsan $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DPAVONIX_SANITIZE=thread >/dev/null
	@cmake --build build/tsan -j $(JOBS)
	@cd build/tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
		python3 ../../tests/no_leftovers.py ctest --output-on-failure -j $(JOBS) -L concurrency

bench: deps-bench
	@cmake -S . -B build/bench $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Release -DPAVONIX_BENCH=ON >/dev/null
	@cmake --build build/bench -j $(JOBS)
	@bench/run-all build/bench

clean:
	rm -rf build
