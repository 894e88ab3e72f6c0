# The two commands of the README: `make demo` and `make test`. Both install what is missing first.
BUILD ?= build
BUILD_TYPE ?= Release
CMAKE_FLAGS ?=

.PHONY: deps build test test-browser test-slurm test-asan fuzz demo bench format format-check golden clean

deps:
	@scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD)

test: build
	@ctest --test-dir $(BUILD) --output-on-failure -j$$(nproc) -LE 'browser|slurm'

# The campaign report in headless Chromium.
test-browser: build
	@scripts/install-deps.sh chromium
	@ctest --test-dir $(BUILD) --output-on-failure -L browser

# The campaign's Slurm job array on a single-node cluster that the test starts and stops.
test-slurm: build
	@scripts/install-deps.sh slurm-wlm munge
	@ctest --test-dir $(BUILD) --output-on-failure -L slurm

# The whole suite again, built with AddressSanitizer and UndefinedBehaviorSanitizer. Leaks that
# the plotting library keeps for the process's lifetime are not ours to report.
test-asan:
	@LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0 $(MAKE) --no-print-directory test BUILD=build-asan BUILD_TYPE=RelWithDebInfo \
		CMAKE_FLAGS=-DVARNEL_SANITIZE=ON

# Every fuzz target, FUZZ_SECONDS each, built with clang in build-fuzz.
FUZZ_SECONDS ?= 30
fuzz: deps
	@scripts/fuzz.sh $(FUZZ_SECONDS)

demo: build
	@scripts/demo.sh $(BUILD)

# CAMPAIGN_BENCH="--recordings 200 --mb 25 --rerun 1000" for the full campaign figures.
CAMPAIGN_BENCH ?=
bench: build
	@$(BUILD)/bench/varnel-fit-bench
	@if [ -x $(BUILD)/bench/varnel-bench ]; then $(BUILD)/bench/varnel-bench; fi
	@if [ -x $(BUILD)/bench/varnel-campaign-bench ]; then $(BUILD)/bench/varnel-campaign-bench $(CAMPAIGN_BENCH); fi

format:
	@find src tools bench tests -name '*.h' -o -name '*.cc' | xargs clang-format -i

# Fails when any source is not as clang-format would leave it.
format-check:
	@find src tools bench tests -name '*.h' -o -name '*.cc' | xargs clang-format --dry-run --Werror

# Rewrites the golden logs from this build, for a change of numbers that is intended.
golden: build
	@scripts/regenerate-golden.sh $(BUILD)

clean:
	rm -rf $(BUILD)
