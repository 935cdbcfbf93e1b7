# One-command entry points. `make test` works on a fresh machine: it fetches the
# dependencies into .deps/, configures, builds and runs every test. `make demo`
# builds the command-line tool and the demo server and runs a short tour with them.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=
PREFIX ?= /usr/local

.PHONY: all deps configure build test stress install package bench demo clean format

all: build

deps:
	@scripts/fetch-deps

configure: deps
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j$(JOBS)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j$(JOBS) --timeout 300

# The mixed-load run with outages, STRESS_SECONDS long (default 60).
STRESS_SECONDS ?= 60
stress: configure
	@MAKEFLAGS= MAKELEVEL= cmake --build $(BUILD) -j$(JOBS) --target ualib_stress
	@STRESS_SECONDS=$(STRESS_SECONDS) $(BUILD)/tests/ualib_stress

# Stripped: the debug info stays in the build tree.
install: build
	@cmake --install $(BUILD) --prefix $(PREFIX) --strip

package: build
	@cd $(BUILD) && cpack

# Builds only the tool and the demo server, then runs the scripted tour.
demo: configure
	@MAKEFLAGS= MAKELEVEL= cmake --build $(BUILD) -j$(JOBS) --target quarlink quarlink-demo-server
	@scripts/demo $(BUILD)/bin

# The plot needs gnuplot from scripts/fetch-plot-tools; without it only the data is written.
bench: build
	@$(BUILD)/bench/ualib_bench --plot-data $(BUILD)/bench/read_batches.dat
	@if [ -x .deps/plot/usr/bin/gnuplot-nox ]; then \
	  bench/plot-read-batches $(BUILD)/bench/read_batches.dat $(BUILD)/bench/read_batches.png; \
	else echo "bench: data in $(BUILD)/bench/read_batches.dat; scripts/fetch-plot-tools enables the plot"; fi

clean:
	@rm -rf $(BUILD)

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i
