# Set-up, build and test on Debian 12. As root, missing Debian packages are installed.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
DEBS = cmake make g++ pkg-config libsqlite3-dev libgtest-dev libgmock-dev libbenchmark-dev \
       libfann-dev nlohmann-json3-dev libcli11-dev libfmt-dev \
       libcairo2-dev libgtk-3-dev fonts-dejavu-core xvfb x11-apps imagemagick

.PHONY: all deps build build-asan run test bench format clean

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

test: build build-asan
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS)

# Configures again so that a build folder made before bench/ existed gains
# the benchmark targets; builds only what the two programs need.
bench: deps $(BUILD)/CMakeCache.txt
	cmake -S . -B $(BUILD)
	cmake --build $(BUILD) --target kelda_bench_foundations kelda_bench_training -j $(JOBS)
	$(BUILD)/bench/kelda_bench_foundations
	$(BUILD)/bench/kelda_bench_training

format:
	clang-format -i $$(git ls-files '*.h' '*.cpp')

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
