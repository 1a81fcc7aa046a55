# Set-up, build and test on Debian 12. As root, missing Debian packages are installed.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
DEBS = cmake make g++ pkg-config libsqlite3-dev libgtest-dev libgmock-dev libbenchmark-dev \
       libfann-dev nlohmann-json3-dev libcli11-dev libfmt-dev \
       libcairo2-dev libgtk-3-dev fonts-dejavu-core xvfb x11-apps imagemagick sqlite3 python3
# The Windows component (windows/): MinGW cross compilers, widl and Wine's IDL
# files, Wine to test it (64-bit and, for the 32-bit DLL, 32-bit Wine from
# the i386 architecture), and what makes SQLite's amalgamation from Debian's
# source package, which needs a deb-src entry (KELDA_SRC_LIST).
WINDOWS_DEBS = g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools libwine-dev wine wine64 \
               wine32:i386 dpkg-dev tcl xvfb imagemagick
KELDA_SRC_LIST = /etc/apt/sources.list.d/kelda-src.sources

.PHONY: all deps build build-asan run test bench bench-deps format clean

all: build

deps:
	@missing=$$(for p in $(DEBS); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "installing:" $$missing; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing >/dev/null; \
	  else \
	    echo "missing Debian packages:" $$missing; echo "run: sudo apt-get install" $$missing; exit 1; \
	  fi; \
	fi
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

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

$(ASAN_BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DKELDA_SANITIZE=ON -DKELDA_BENCH=OFF -DKELDA_WINDOWS=OFF

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps $(ASAN_BUILD)/CMakeCache.txt
	cmake --build $(ASAN_BUILD) -j $(JOBS)

run: build
	$(BUILD)/kelda demo $(BUILD)/demo
	mkdir -p docs && cp $(BUILD)/demo/status.png docs/status-window.png

test: build build-asan
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS)

# The quality benchmark reads the diabetes data that python3-sklearn ships.
BENCH_DEBS = python3-sklearn zlib1g-dev

bench-deps:
	@missing=$$(for p in $(BENCH_DEBS); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "installing for the benchmarks:" $$missing; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing >/dev/null; \
	  else \
	    echo "the benchmarks need Debian packages:" $$missing; echo "run: sudo apt-get install" $$missing; exit 1; \
	  fi; \
	fi

# Configures again so that a build folder made before bench/ existed gains
# the benchmark targets; builds only what the programs need.
bench: deps bench-deps $(BUILD)/CMakeCache.txt
	cmake -S . -B $(BUILD)
	cmake --build $(BUILD) --target kelda_bench_foundations kelda_bench_training kelda_bench_quality -j $(JOBS)
	$(BUILD)/bench/kelda_bench_foundations
	$(BUILD)/bench/kelda_bench_training
	$(BUILD)/bench/kelda_bench_quality

format:
	clang-format -i $$(git ls-files '*.h' '*.cpp')

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
