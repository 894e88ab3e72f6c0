# The two commands of the README: `make demo` and `make test`. Both install what is missing first.
BUILD ?= build
BUILD_TYPE ?= Release
CMAKE_FLAGS ?=

.PHONY: deps build test demo bench format clean

deps:
	@scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD)

test: build
	@ctest --test-dir $(BUILD) --output-on-failure

demo: build
	@scripts/demo.sh $(BUILD)

bench: build
	@$(BUILD)/bench/varnel-fit-bench
	@if [ -x $(BUILD)/bench/varnel-bench ]; then $(BUILD)/bench/varnel-bench; fi

format:
	@find src tools bench tests -name '*.h' -o -name '*.cc' | xargs clang-format -i

clean:
	rm -rf $(BUILD)
