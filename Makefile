# A thin driver over CMake. `make` builds into build/ (programs in build/bin/) with what is installed and says what
# it skipped; `make check` runs the quick suites; `make test` runs every test, then the same suite under
# AddressSanitizer with UndefinedBehaviorSanitizer and under ThreadSanitizer. RELEASE=NAME (bookworm, trixie,
# forky) builds, tests or packages inside a clean root of that Debian release (scripts/release-root).
JOBS ?= 2
RELEASE ?=
FUZZ_SECONDS ?= 60
CMAKE_FLAGS ?=

.PHONY: all build check test test-plain test-asan test-tsan test-release bench bench-stall bench-hosts chaos demo setup clean install uninstall fuzz deb test-packages coverage
# The test runs share the fixed port 27835 and the two cores: one at a time, even under make -j.
.NOTPARALLEL:

all: build

# Each target asks only for the packages of its tier (scripts/packages); `make setup` installs them all.
setup:
	@scripts/setup all

# What the installed packages do not allow (a file manager's module, the Dolphin plugin) is skipped and named.
build:
	@scripts/setup build
	@cmake -S . -B build $(CMAKE_FLAGS) | { grep -E "not built|not found" || true; }
	@cmake --build build -j$(JOBS)

# The quick suites: the simulated extension and bridge, and the programs on real sockets; no sanitizer, no real
# file manager. A few minutes.
check: build
	cd build && ctest -L quick -j$(JOBS) --output-on-failure

test: test-plain test-asan test-tsan

# The test builds treat warnings as errors; a plain `make` does not.
test-plain:
	@scripts/setup build hosts
	@cmake -S . -B build -DVANTORIX_WERROR=ON $(CMAKE_FLAGS) >/dev/null
	@cmake --build build -j$(JOBS)
	cd build && ctest --output-on-failure -j$(JOBS)

test-asan:
	@scripts/setup build
	@cmake -S . -B build-asan -DVANTORIX_SANITIZE=address -DVANTORIX_BENCHMARKS=OFF -DVANTORIX_WERROR=ON $(CMAKE_FLAGS) >/dev/null
	@cmake --build build-asan -j$(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j$(JOBS)

test-tsan:
	@scripts/setup build
	@cmake -S . -B build-tsan -DVANTORIX_SANITIZE=thread -DVANTORIX_BENCHMARKS=OFF -DVANTORIX_WERROR=ON $(CMAKE_FLAGS) >/dev/null
	@cmake --build build-tsan -j$(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --output-on-failure -j$(JOBS)

demo:
	@scripts/setup build
	@cmake -S . -B build $(CMAKE_FLAGS) >/dev/null
	@cmake --build build -j$(JOBS) --target vantorix-finder vantorix-localservice
	@scripts/demo

# Benchmarks, never timed tests: each runs in a private network namespace and session bus (scripts/bench).
bench: build
	@scripts/bench folder

bench-stall: build
	@scripts/bench stall

# Each file manager showing 10,000 files: GNOME Files alone and with the module in alternating rounds, and the
# longest hold of each host's main thread (Nemo in a session of its own: it does not come up after GNOME Files);
# then the time from a change of status to the emblem each host holds, announced and found by polling; then each
# host's own CPU and memory at rest, without the module and with it.
bench-hosts: build
	@bench/hosts-bench build 10000 3 nautilus caja dolphin
	@bench/hosts-bench build 10000 3 nemo
	@bench/change-to-emblem build
	@bench/host-rest build

# The chaos soak, CHAOS_SECONDS long (10 minutes by default), in a private network namespace and session bus.
CHAOS_SECONDS ?= 600
chaos: build
	@tests/chaos/run build/bin --seconds $(CHAOS_SECONDS)

# The fuzz targets, built with clang, libFuzzer, ASan and UBSan into build-fuzz/, each run for FUZZ_SECONDS.
fuzz:
	@scripts/setup build fuzz
	@cmake -S . -B build-fuzz -DVANTORIX_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ -DVANTORIX_BENCHMARKS=OFF -DVANTORIX_WERROR=ON $(CMAKE_FLAGS) >/dev/null
	@cmake --build build-fuzz -j$(JOBS) --target fuzz-targets
	fuzz/run build-fuzz/bin $(FUZZ_SECONDS)

clean:
	rm -rf build build-asan build-tsan build-fuzz build-coverage build-release

# Line coverage of the extension, the reference local service and protocol/, by gcovr, in build-coverage/.
coverage:
	@scripts/setup build coverage
	@scripts/coverage

# The Debian packages of a release, into build/deb/RELEASE/, checked by that release's lintian: built inside its
# clean root with RELEASE=NAME, on this machine for its own release otherwise.
deb:
	@scripts/setup build packaging $(if $(RELEASE),roots)
	@scripts/make-deb $(RELEASE)

# The packages on a clean root of the release made by mmdebstrap: installed with apt, GNOME Files badged by them,
# purged without a trace; each host package alone. Slow (minutes), so not part of make test.
test-packages: deb
	@cmake -S . -B build $(CMAKE_FLAGS) >/dev/null
	@cmake --build build -j$(JOBS) --target vantorix-localservice
	@tests/packages/run $(RELEASE)

# The tree built and tested inside a clean root of RELEASE: the plain suite and the shared real-host session.
test-release:
	@scripts/setup roots
	@scripts/release-test $(RELEASE)

# make install [PREFIX=/usr/local] [DESTDIR=...]: the GNOME Files module into Nautilus's extension folder, its
# emblems into PREFIX/share/icons/hicolor and the extension program into PREFIX/libexec/vantorix. make uninstall
# removes what the last install wrote (give it the same DESTDIR).
PREFIX ?= /usr/local
install:
	@scripts/setup build
	@cmake -S . -B build -DCMAKE_INSTALL_PREFIX=$(PREFIX) $(CMAKE_FLAGS) >/dev/null
	@cmake --build build -j$(JOBS)
	DESTDIR="$(DESTDIR)" cmake --install build

uninstall:
	@DESTDIR="$(DESTDIR)" scripts/uninstall build/install_manifest.txt
