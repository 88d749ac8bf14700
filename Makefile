# Two entry points: `make check` (install what the tests need, build with
# sanitizers, run every test) and `make demo` (install an example package
# into a scratch root, upgrade it and remove it again). `make bench` prints
# the performance figures; `make install` and `make uninstall` honour PREFIX
# and DESTDIR. `make fuzz` runs every fuzz target for FUZZ_SECONDS and
# `make reliability` the full crash, fault, file-system, contention and
# member-name runs.

BUILD      ?= build
JOBS       ?= $(shell nproc)
CHECK_DIR  := $(BUILD)/check
RELEASE_DIR:= $(BUILD)/release
FUZZ_DIR   := $(BUILD)/fuzz
FUZZ_SECONDS ?= 60

# Debian packages the build and the tests use: the compiler and test
# framework, GNU tar with every compressor, and the real tools that the
# integration tests run inside chroot roots. runit comes without its
# recommendations, so that nothing is set up to supervise the host.
DEB_PACKAGES := cmake g++ make libgtest-dev libgmock-dev tar gzip pigz zstd \
                xz-utils bzip2 lbzip2 pbzip2 lzip plzip libcap2-bin passwd \
                util-linux coreutils libc-bin runit
# The packaging tests: manual page lint, bash completion, the installed
# library found through pkg-config.
DEB_PACKAGES += mandoc bash-completion pkgconf
# diff3, which merges edited configuration files on upgrade.
DEB_PACKAGES += diffutils
# The Rust workspace that wardrun's cargo profile builds as the unprivileged
# builder, who cannot reach a toolchain under root's home.
DEB_PACKAGES += cargo
# The fuzz targets (clang with libFuzzer) and the reliability runs (strace
# fault injection, the Python harness).
DEB_PACKAGES += clang-14 libclang-rt-14-dev strace python3

# Installation: the Release build, under PREFIX, staged under DESTDIR.
PREFIX     ?= /usr/local
DESTDIR    ?=

.PHONY: all check demo bench deps release install uninstall clean fuzz reliability

all: release

deps:
	@missing=$$(for p in $(DEB_PACKAGES); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; \
	  done); \
	if [ -n "$$missing" ]; then \
	  echo "installing:" $$missing; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing; \
	fi

check: deps
	cmake -S . -B $(CHECK_DIR) -DCMAKE_BUILD_TYPE=Debug -DSORN_SANITIZE=ON -DSORN_BENCH=OFF \
	  -DSORN_WERROR=ON
	cmake --build $(CHECK_DIR) -j $(JOBS)
	cd $(CHECK_DIR) && ctest --output-on-failure -j $(JOBS) --timeout 300

release:
	cmake -S . -B $(RELEASE_DIR) -DCMAKE_BUILD_TYPE=Release -DSORN_TESTS=OFF
	cmake --build $(RELEASE_DIR) -j $(JOBS)

demo: release
	BUILD_DIR=$(abspath $(RELEASE_DIR)) sh examples/demo.sh

bench: deps release
	@for b in $(RELEASE_DIR)/bench/bench_*; do echo "== $$b"; $$b || exit 1; done

fuzz: deps
	cmake -S . -B $(FUZZ_DIR) -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	      -DSORN_FUZZ=ON -DSORN_BENCH=OFF
	cmake --build $(FUZZ_DIR) -j $(JOBS)
	@status=0; for f in $(FUZZ_DIR)/tests/fuzz/fuzz_*; do \
	  sh tests/fuzz/run_fuzz.sh $$f $(FUZZ_SECONDS) $(abspath $(FUZZ_DIR))/run/$$(basename $$f) || status=1; \
	done; exit $$status

# The full runs: 2,000 kills, every fault point, the file systems, 4 x 250
# contending writers, a few thousand odd member names. On the sanitizer
# build, so a memory error on any path shows too.
reliability: deps
	cmake -S . -B $(CHECK_DIR) -DCMAKE_BUILD_TYPE=Debug -DSORN_SANITIZE=ON -DSORN_BENCH=OFF \
	  -DSORN_WERROR=ON
	cmake --build $(CHECK_DIR) -j $(JOBS) --target zarnin $(if $(wildcard zarnout/main.cc),zarnout)
	@status=0; for run in "crash -n 2000" faults fs "contention -n 250" "names -n 3000"; do \
	  python3 tests/reliability/reliability.py --bin-dir $(CHECK_DIR) $$run || status=1; \
	done; exit $$status

install: release
	DESTDIR="$(DESTDIR)" cmake --install $(RELEASE_DIR) --prefix "$(PREFIX)"

# Removes what the last `make install` wrote, as listed in
# $(RELEASE_DIR)/install_manifest.txt; give it the same DESTDIR.
uninstall:
	DESTDIR="$(DESTDIR)" cmake -DMANIFEST="$(abspath $(RELEASE_DIR))/install_manifest.txt" \
	  -P cmake/uninstall.cmake

clean:
	rm -rf $(BUILD)
