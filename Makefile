# Set-up, build and test on Debian 12. As root, missing Debian packages are installed.
#
#   make run       the demo: only what the tool needs is installed and built
#   make test      every test: plain build, sanitizer build, Windows build under
#                  Wine, install into a scratch prefix, Python module, package
#   make windows   the Windows automation component, cross-built
#   make package   the Debian package, from a Release build
BUILD         ?= build
ASAN_BUILD    ?= build-asan
RELEASE_BUILD ?= build-release
JOBS          ?= $(shell nproc)

# What the tool and the library need to build and run.
RUN_DEBS = cmake make g++ pkg-config libsqlite3-dev libpq-dev nlohmann-json3-dev libcli11-dev \
           libfmt-dev libcairo2-dev libgtk-3-dev fonts-dejavu-core
# The Python module and the man page, which the package carries too.
EXTRA_DEBS = python3 python3-dev python3-pybind11 help2man dpkg-dev
# The tests and the benchmark programs built with them; the server tests
# start throwaway PostgreSQL clusters of their own from the server binaries.
TEST_DEBS = libgtest-dev libgmock-dev libbenchmark-dev libfann-dev python3-pytest \
            xvfb x11-apps imagemagick sqlite3 postgresql
# The Windows component (windows/): MinGW cross compilers, widl and Wine's IDL
# files, Wine to test it (64-bit and, for the 32-bit DLL, 32-bit Wine from
# the i386 architecture), and what makes SQLite's amalgamation from Debian's
# source package, which needs a deb-src entry (KELDA_SRC_LIST).
WINDOWS_DEBS = g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools libwine-dev wine wine64 \
               wine32:i386 dpkg-dev tcl xvfb imagemagick
KELDA_SRC_LIST = /etc/apt/sources.list.d/kelda-src.sources
# The quality benchmark reads the diabetes data that python3-sklearn ships.
BENCH_DEBS = python3-sklearn zlib1g-dev

# The project's own builds treat warnings as errors; the package is built as
# a packager builds it, without.
OWN = -DKELDA_WERROR=ON
FULL = $(OWN) -DKELDA_TESTS=ON -DKELDA_BENCH=ON -DKELDA_WINDOWS=ON -DKELDA_PYTHON=ON \
       -DKELDA_MANPAGE=ON

.PHONY: all deps run-deps extra-deps test-deps windows-deps bench-deps build build-asan run test \
        test-package windows package bench format clean

all: build

# $(call require_debs,PACKAGES,PURPOSE): installs the missing packages as
# root; otherwise names them and stops.
define require_debs
	@missing=$$(for p in $(1); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "installing for $(2):" $$missing; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing >/dev/null; \
	  else \
	    echo "$(2) needs Debian packages:" $$missing; echo "run: sudo apt-get install" $$missing; exit 1; \
	  fi; \
	fi
endef

deps: run-deps extra-deps test-deps windows-deps

run-deps:
	$(call require_debs,$(RUN_DEBS),the tool)

extra-deps:
	$(call require_debs,$(EXTRA_DEBS),the Python module and the man page)

test-deps:
	$(call require_debs,$(TEST_DEBS),the tests)

bench-deps:
	$(call require_debs,$(BENCH_DEBS),the benchmarks)

windows-deps:
	@missing=$$(for p in $(WINDOWS_DEBS); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	sources=$$(apt-cache showsrc sqlite3 >/dev/null 2>&1 && echo yes); \
	if [ -n "$$missing" ] || [ -z "$$sources" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    if [ -z "$$sources" ]; then \
	      echo "enabling Debian's source packages: $(KELDA_SRC_LIST)"; \
	      sh windows/enable_deb_src.sh $(KELDA_SRC_LIST); \
	    fi; \
	    if echo "$$missing" | grep -q ':i386' && ! dpkg --print-foreign-architectures | grep -qx i386; then \
	      echo "enabling the i386 architecture for 32-bit Wine"; \
	      dpkg --add-architecture i386; \
	    fi; \
	    echo "installing for the Windows build:" $$missing; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing >/dev/null; \
	  else \
	    echo "the Windows build needs Debian packages:" $$missing "and Debian's source packages (a deb-src entry)"; \
	    if echo "$$missing" | grep -q ':i386'; then echo "32-bit Wine needs the i386 architecture: dpkg --add-architecture i386"; fi; \
	    echo "run 'make deps' as root, or configure with -DKELDA_WINDOWS=OFF"; exit 1; \
	  fi; \
	fi

# A first configuration builds no more than the tool needs; the targets that
# need more turn it on in the same folder.
$(BUILD)/CMakeCache.txt: | run-deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(OWN) -DKELDA_TESTS=OFF

build: deps $(BUILD)/CMakeCache.txt
	cmake -S . -B $(BUILD) $(FULL)
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DKELDA_SANITIZE=ON $(OWN) -DKELDA_TESTS=ON \
	      -DKELDA_BENCH=OFF -DKELDA_WINDOWS=OFF -DKELDA_PYTHON=OFF -DKELDA_MANPAGE=OFF
	cmake --build $(ASAN_BUILD) -j $(JOBS)

run: run-deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) --target kelda -j $(JOBS)
	$(BUILD)/kelda demo $(BUILD)/demo
	mkdir -p docs && cp $(BUILD)/demo/status.png docs/status-window.png

test: build build-asan package
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	# The sanitizer's dlopen hides the test programs' run path from the
	# loader, so the library's modules are found through the library path.
	cd $(ASAN_BUILD) && LD_LIBRARY_PATH=$(CURDIR)/$(ASAN_BUILD) ctest --output-on-failure -j $(JOBS)
	$(MAKE) --no-print-directory test-package

# The package unpacked into a scratch root: the tool and the Python module
# run from there.
test-package:
	sh tests/install/package_test.sh $(RELEASE_BUILD)

windows: run-deps windows-deps $(BUILD)/CMakeCache.txt
	cmake -S . -B $(BUILD) $(OWN) -DKELDA_WINDOWS=ON
	cmake --build $(BUILD) --target kelda_windows_i686 kelda_windows_x86_64 -j $(JOBS)

package: run-deps extra-deps
	cmake -S . -B $(RELEASE_BUILD) -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
	      -DKELDA_TESTS=OFF -DKELDA_PYTHON=ON -DKELDA_MANPAGE=ON
	cmake --build $(RELEASE_BUILD) -j $(JOBS)
	cd $(RELEASE_BUILD) && cpack -G DEB

# Configures again so that the build folder gains the benchmark targets;
# builds only what the programs need.
bench: run-deps test-deps bench-deps $(BUILD)/CMakeCache.txt
	cmake -S . -B $(BUILD) $(OWN) -DKELDA_BENCH=ON -DKELDA_TESTS=ON
	cmake --build $(BUILD) --target kelda_bench_foundations kelda_bench_training kelda_bench_quality kelda_bench_job kelda_bench_server -j $(JOBS)
	$(BUILD)/bench/kelda_bench_foundations
	$(BUILD)/bench/kelda_bench_training
	$(BUILD)/bench/kelda_bench_quality
	$(BUILD)/bench/kelda_bench_job
	$(BUILD)/bench/kelda_bench_server

format:
	clang-format -i $$(git ls-files '*.h' '*.cpp')

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(RELEASE_BUILD)
