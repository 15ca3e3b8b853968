# A thin driver over CMake. `make` builds into build/ (programs in build/bin/), `make test` runs every test,
# then the same suite under AddressSanitizer with UndefinedBehaviorSanitizer and under ThreadSanitizer.
JOBS ?= 2
FUZZ_SECONDS ?= 60
CMAKE_FLAGS ?=

.PHONY: all build test test-plain test-asan test-tsan bench bench-stall bench-hosts chaos demo setup clean install uninstall fuzz deb test-packages coverage
# The test runs share the fixed port 27835 and the two cores: one at a time, even under make -j.
.NOTPARALLEL:

all: build

setup:
	@scripts/setup

build: setup
	@cmake -S . -B build $(CMAKE_FLAGS) >/dev/null
	@cmake --build build -j$(JOBS)

test: test-plain test-asan test-tsan

# The test builds treat warnings as errors; a plain `make` does not.
test-plain: setup
	@cmake -S . -B build -DVANTORIX_WERROR=ON $(CMAKE_FLAGS) >/dev/null
	@cmake --build build -j$(JOBS)
	cd build && ctest --output-on-failure -j$(JOBS)

test-asan: setup
	@cmake -S . -B build-asan -DVANTORIX_SANITIZE=address -DVANTORIX_BENCHMARKS=OFF -DVANTORIX_WERROR=ON $(CMAKE_FLAGS) >/dev/null
	@cmake --build build-asan -j$(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j$(JOBS)

test-tsan: setup
	@cmake -S . -B build-tsan -DVANTORIX_SANITIZE=thread -DVANTORIX_BENCHMARKS=OFF -DVANTORIX_WERROR=ON $(CMAKE_FLAGS) >/dev/null
	@cmake --build build-tsan -j$(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --output-on-failure -j$(JOBS)

demo: setup
	@cmake -S . -B build $(CMAKE_FLAGS) >/dev/null
	@cmake --build build -j$(JOBS) --target vantorix-finder vantorix-localservice
	@scripts/demo

# Benchmarks, never timed tests: each runs in a private network namespace and session bus (scripts/bench).
bench: build
	@scripts/bench folder

bench-stall: build
	@scripts/bench stall

# GNOME Files showing 10,000 files, alone and with the module, in alternating rounds.
bench-hosts: build
	@bench/hosts-bench build

# The chaos soak, CHAOS_SECONDS long (10 minutes by default), in a private network namespace and session bus.
CHAOS_SECONDS ?= 600
chaos: build
	@tests/chaos/run build/bin --seconds $(CHAOS_SECONDS)

# The fuzz targets, built with clang, libFuzzer, ASan and UBSan into build-fuzz/, each run for FUZZ_SECONDS.
fuzz: setup
	@cmake -S . -B build-fuzz -DVANTORIX_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ -DVANTORIX_BENCHMARKS=OFF -DVANTORIX_WERROR=ON $(CMAKE_FLAGS) >/dev/null
	@cmake --build build-fuzz -j$(JOBS) --target fuzz-targets
	fuzz/run build-fuzz/bin $(FUZZ_SECONDS)

clean:
	rm -rf build build-asan build-tsan build-fuzz

# Line coverage of the extension, the reference local service and protocol/, by gcovr, in build-coverage/.
coverage: setup
	@scripts/coverage

# The Debian packages, into build/deb/ (built for /usr in build/package/), checked by lintian.
deb: setup
	@scripts/make-deb build

# The packages on a clean Debian 12 root made by mmdebstrap: installed with apt, GNOME Files badged by them, purged
# without a trace; each host package alone. Slow (minutes), so not part of make test.
test-packages: deb
	@cmake -S . -B build $(CMAKE_FLAGS) >/dev/null
	@cmake --build build -j$(JOBS) --target vantorix-localservice
	@tests/packages/run build

# make install [PREFIX=/usr/local] [DESTDIR=...]: the GNOME Files module into Nautilus's extension folder, its
# emblems into PREFIX/share/icons/hicolor and the extension program into PREFIX/libexec/vantorix. make uninstall
# removes what the last install wrote (give it the same DESTDIR).
PREFIX ?= /usr/local
install: setup
	@cmake -S . -B build -DCMAKE_INSTALL_PREFIX=$(PREFIX) $(CMAKE_FLAGS) >/dev/null
	@cmake --build build -j$(JOBS)
	DESTDIR="$(DESTDIR)" cmake --install build

uninstall:
	@DESTDIR="$(DESTDIR)" scripts/uninstall build/install_manifest.txt
