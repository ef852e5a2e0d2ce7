# make run   installs what is missing, builds the program and the demo maker (not the tests), and starts the
#            program on a demo folder of sample archives
# make test  installs what is missing, builds, and runs every test through CTest
# SANITIZE=1 builds with AddressSanitizer and UndefinedBehaviorSanitizer (in build-asan/)
# make install  installs into PREFIX (default /usr/local), under DESTDIR when given
# make package  builds a Debian package (.deb) in the build folder with CPack
# make check-install  validates the desktop entry, metainfo and man page, runs the program installed into a
#            temporary prefix on a demo folder, and checks the .deb
# make fuzz  builds the libFuzzer targets with clang (in build-fuzz/) and runs each FUZZ_SECONDS on a copy
#            of tests/fuzz/corpus, so the kept corpus stays as it is
# make differential  runs the whole differential campaign (tests/differential/README.md): every mutant,
#            judged by unzip, 7-Zip and Python, against the built program; make test runs a fixed sample

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
FUZZ_SECONDS ?= 60
PREFIX ?= /usr/local
FUZZ_TARGETS := $(basename $(notdir $(wildcard tests/fuzz/fuzz_*.cpp)))

.PHONY: all deps build run test demo bench fuzz clean install package check-install differential

all: build

deps:
	@SANITIZE=$(SANITIZE) scripts/install-deps

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	$(BUILD)/bench/make_demo $(DEMO)

# Only the program and the demo maker: a first run need not wait for the test programs.
run: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS) --target tamsorel make_demo
	$(BUILD)/bench/make_demo $(DEMO)
	@if [ -n "$$DISPLAY$$WAYLAND_DISPLAY" ]; then \
		cd $(DEMO) && $(CURDIR)/$(BUILD)/tamsorel; \
	else \
		echo "No display: cleaning the demo folder unattended instead."; \
		$(CURDIR)/$(BUILD)/tamsorel $(DEMO); \
		echo "Exit status $$?. The folder now holds:"; ls -l $(DEMO); \
	fi

test: build
	cd $(BUILD) && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j $(JOBS)

install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)" --strip

package: build
	cd $(BUILD) && cpack -G DEB
	@ls -1 $(BUILD)/tamsorel_*.deb

check-install: build
	BUILD=$(BUILD) scripts/check-install

bench: build
	$(BUILD)/bench/zip_bench
	$(BUILD)/bench/clean_bench

fuzz:
	@FUZZ=1 scripts/install-deps
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DTAMSOREL_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build-fuzz -j $(JOBS) --target $(FUZZ_TARGETS)
	@set -e; for t in $(FUZZ_TARGETS); do \
		rm -rf build-fuzz/corpus/$$t && mkdir -p build-fuzz/corpus/$$t build-fuzz/artifacts && \
		cp tests/fuzz/corpus/* build-fuzz/corpus/$$t/ && \
		echo "Fuzzing $$t for $(FUZZ_SECONDS) s" && \
		build-fuzz/tests/fuzz/$$t -max_total_time=$(FUZZ_SECONDS) -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
			-print_final_stats=1 -artifact_prefix=build-fuzz/artifacts/$$t- build-fuzz/corpus/$$t; \
	done

differential: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS) --target tamsorel make_legacy_seeds
	cmake --build $(BUILD) --target differential

clean:
	rm -rf build build-asan build-fuzz demo
