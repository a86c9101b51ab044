# Two commands for a newcomer on Debian 12:
#   make run   - install what is missing, build, start the window
#   make test  - install what is missing, build, run every test
BUILD ?= build
BUILD_TYPE ?= RelWithDebInfo

.PHONY: all setup configure build run test bench clean

all: build

setup:
	@tools/setup.sh

$(BUILD)/build.ninja: CMakeLists.txt
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)

configure: setup
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)

build: configure
	cmake --build $(BUILD)

run: build
	$(BUILD)/wharfline

test: build
	cd $(BUILD) && ctest --output-on-failure --timeout 1500

bench: build
	cmake --build $(BUILD) --target benchmarks
	@for b in $(BUILD)/bench/bench_*; do echo "== $$b"; $$b || exit 1; done

clean:
	rm -rf $(BUILD)
