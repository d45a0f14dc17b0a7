# Top-level entry points; everything goes through CMake.
BUILD ?= build
JOBS  ?= $(shell nproc)

.PHONY: all setup build test demo bench flash clean
all: build

setup:
	@scripts/setup

build: setup
	@cmake --preset default >/dev/null
	@cmake --build $(BUILD) -j$(JOBS)

test: build
	@ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

demo: build
	@scripts/demo $(BUILD)

bench: build
	@scripts/bench $(BUILD)

# make flash NODE=velmora|tavlo PROBE=<OpenOCD interface config> [ERASE_STORE=1]
flash: build
	@scripts/flash "$(NODE)" "$(PROBE)" --build $(BUILD) $(if $(ERASE_STORE),--erase-store)

clean:
	rm -rf $(BUILD)
