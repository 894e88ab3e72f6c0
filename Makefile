# The two commands of the README: `make demo` and `make test`. Each installs the Debian packages it
# needs that are missing (scripts/install-deps.sh), then builds in $(BUILD).
BUILD ?= build
BUILD_TYPE ?= Release
CMAKE_FLAGS ?=
PREFIX ?= /usr/local

.PHONY: deps build test test-as-user test-browser test-slurm test-asan fuzz demo bench install package \
	fresh-debian-test ci-deps format format-check golden clean

deps = @scripts/install-deps.sh $(1)
# A folder that a make run as root left behind cannot be written by the user: one line says so
# (make's own, before anything runs) instead of CMake's error about its cache.
not_mine = $(shell [ "$$(id -u)" -eq 0 ] || for f in $(1); do \
	[ -e "$$f" ] && [ ! -O "$$f" ] && { echo "$$f belongs to $$(stat -c %U "$$f")"; break; }; done)
owned = $(if $(call not_mine,$(1)),$(error $(call not_mine,$(1)) (a make run as root?): as \
	root, rm -rf $(firstword $(1)), then make again as yourself))
configure_and_build = $(call owned,"$(BUILD)" "$(BUILD)/CMakeCache.txt" "$(BUILD)/build.ninja")@cmake -S . -B "$(BUILD)" -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
	$(CMAKE_FLAGS) >/dev/null && cmake --build "$(BUILD)"

deps:
	$(call deps,build)

build:
	$(call deps,build)
	$(configure_and_build)

demo:
	$(call deps,build)
	$(call owned,demo)
	$(configure_and_build)
	@scripts/demo.sh "$(BUILD)"

test:
	$(call deps,build test)
	$(configure_and_build)
	@ctest --test-dir "$(BUILD)" --output-on-failure --no-tests=error -j$$(nproc) -LE 'browser|slurm'

# make test as an ordinary user (TEST_USER, default nobody) from a clone whose path holds
# blanks, with a long TMPDIR under it (root; see the script).
test-as-user:
	@scripts/test-as-user.sh $(TEST_USER)

# The campaign report in headless Chromium.
test-browser:
	$(call deps,build test ci)
	$(configure_and_build)
	@ctest --test-dir "$(BUILD)" --output-on-failure --no-tests=error -L browser

# The campaign's Slurm job array on a single-node cluster that the test starts and stops.
test-slurm:
	$(call deps,build test ci)
	$(configure_and_build)
	@ctest --test-dir "$(BUILD)" --output-on-failure --no-tests=error -L slurm

# The whole suite again, built with AddressSanitizer and UndefinedBehaviorSanitizer. Leaks that
# the plotting library keeps for the process's lifetime are not ours to report.
test-asan:
	@LSAN_OPTIONS="suppressions='$(CURDIR)/tests/lsan.supp':print_suppressions=0" \
		$(MAKE) --no-print-directory test BUILD=build-asan BUILD_TYPE=RelWithDebInfo \
		CMAKE_FLAGS="-DVARNEL_SANITIZE=ON -DVARNEL_BENCH=OFF"

# Every fuzz target, FUZZ_SECONDS each, built with clang in build-fuzz.
FUZZ_SECONDS ?= 30
fuzz:
	$(call deps,build ci)
	@scripts/fuzz.sh $(FUZZ_SECONDS)

# CAMPAIGN_BENCH="--recordings 200 --mb 25 --rerun 1000" for the full campaign figures.
CAMPAIGN_BENCH ?=
bench:
	$(call deps,build bench test ci)
	$(configure_and_build)
	@"$(BUILD)/bench/varnel-fit-bench"
	@"$(BUILD)/bench/varnel-bench"
	@"$(BUILD)/bench/varnel-campaign-bench" $(CAMPAIGN_BENCH)
	@"$(BUILD)/bench/varnel-store-bench"

# Every program into $(PREFIX)/bin (root for the default /usr/local).
install: build
	@cmake --install "$(BUILD)" --prefix "$(PREFIX)"

# The Debian package, $(BUILD)/varnel_<version>_amd64.deb.
package:
	$(call deps,build package)
	$(configure_and_build)
	@cd "$(BUILD)" && cpack -G DEB >cpack.out 2>&1 || { cat cpack.out; exit 1; }
	@ls "$(BUILD)"/varnel_*.deb

# make demo and make test on a freshly bootstrapped Debian 12, as root and as a user without
# sudo, then the package installed on another fresh system (needs root; see the script).
fresh-debian-test:
	$(call deps,ci)
	@scripts/fresh-debian-test.sh

ci-deps:
	$(call deps,build package test bench ci)

format:
	@find src tools bench tests -name '*.h' -o -name '*.cc' | xargs clang-format -i

# Fails when any source is not as clang-format would leave it.
format-check:
	$(call deps,ci)
	@find src tools bench tests -name '*.h' -o -name '*.cc' | xargs clang-format --dry-run --Werror

# Rewrites the golden logs from this build, for a change of numbers that is intended.
golden: build
	@scripts/regenerate-golden.sh "$(BUILD)"

clean:
	rm -rf "$(BUILD)"
