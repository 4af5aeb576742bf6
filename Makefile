# The two commands that matter: `make run` and `make test`. Each sets up what
# it needs first (scripts/setup.sh), so both work on a fresh Debian 12.
BUILD  ?= build
MODEL  ?=
PREFIX ?= /usr/local
JOBS   ?= $(shell nproc)
APP_DIR := $(BUILD)/app

.PHONY: all setup configure build test run bench install clean

all: build

setup:
	scripts/setup.sh

configure: setup
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# Many test programs run at once, each with its own OpenMP team: threads that
# sleep instead of spinning while they wait keep the machine from thrashing.
test: build
	cd $(BUILD) && OMP_WAIT_POLICY=PASSIVE xvfb-run -a -s "-screen 0 1280x1024x24" ctest --output-on-failure -j $(JOBS)

run: build
	@if [ -n "$(MODEL)" ]; then ln -sf "$(abspath $(MODEL))" $(APP_DIR)/model.gguf; fi
	$(APP_DIR)/velkin

bench: build
	cmake --build $(BUILD) -j $(JOBS) --target velkin_benches
	scripts/bench.sh $(BUILD)

# Builds only what is installed. A staged install (DESTDIR=...) lists its
# files in install_manifest_staged.txt, so $(BUILD)/install_manifest.txt
# keeps listing what a plain install put on this machine.
install: configure
	cmake --build $(BUILD) -j $(JOBS) --target velkin_install_files
ifneq ($(DESTDIR),)
	cmake -DCMAKE_INSTALL_PREFIX="$(PREFIX)" -DVELKIN_MANIFEST="$(abspath $(BUILD))/install_manifest_staged.txt" \
	      -P $(BUILD)/install_alone.cmake
else
	cmake --install $(BUILD) --prefix "$(PREFIX)"
endif

clean:
	rm -rf $(BUILD)
