# make run   installs what is missing, builds, and starts the program on a demo folder of sample archives
# make test  installs what is missing, builds, and runs every test through CTest
# SANITIZE=1 builds with AddressSanitizer and UndefinedBehaviorSanitizer (in build-asan/)

SANITIZE ?= 0
JOBS ?= $(shell nproc)
ifeq ($(SANITIZE),1)
BUILD := build-asan
CMAKE_FLAGS := -DSANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
else
BUILD := build
CMAKE_FLAGS := -DCMAKE_BUILD_TYPE=RelWithDebInfo
endif
DEMO := $(CURDIR)/demo

.PHONY: all deps build run test demo bench clean

all: build

deps:
	@SANITIZE=$(SANITIZE) scripts/install-deps

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	$(BUILD)/bench/make_demo $(DEMO)

run: demo
	@if [ -n "$$DISPLAY$$WAYLAND_DISPLAY" ]; then \
		cd $(DEMO) && $(CURDIR)/$(BUILD)/tamsorel; \
	else \
		echo "No display: cleaning the demo folder unattended instead."; \
		$(CURDIR)/$(BUILD)/tamsorel $(DEMO); \
		echo "Exit status $$?. The folder now holds:"; ls -l $(DEMO); \
	fi

test: build
	cd $(BUILD) && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j $(JOBS)

bench: build
	$(BUILD)/bench/zip_bench
	$(BUILD)/bench/clean_bench

clean:
	rm -rf build build-asan demo
