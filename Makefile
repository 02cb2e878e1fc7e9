# The two commands of the README, the packages, the benchmark, the fuzz run
# and the soak.
.PHONY: run check bench fuzz soak daemon deb dist-windows clean

FUZZ_RUNS ?= 1000000
SOAK_SECONDS ?= 600
SAN ?=

# Only the daemon: no test programs, no cross compiler, no Wine.
daemon:
	scripts/install-deps.sh run
	cmake --preset native -DKESTRUN_TESTS=OFF >/dev/null
	cmake --build --preset native -j $$(nproc) --target kestrun

# Runs the bridge in ./run (default settings unless ./run/setup.dat exists).
run: daemon
	mkdir -p run
	cd run && ../build/native/kestrun

check:
	scripts/check.sh

# build/deb/dist/kestrun_<version>_<arch>.deb (Release, stripped).
deb:
	scripts/install-deps.sh deb
	cmake --preset deb >/dev/null
	cmake --build --preset deb -j $$(nproc) --target deb

# build/dist-windows/dist/kestrun-<version>-x64.msi and .zip.
dist-windows:
	scripts/install-deps.sh dist-windows
	cmake --preset dist-windows >/dev/null
	cmake --build --preset dist-windows -j $$(nproc) --target dist-windows

bench:
	bench/run.sh

# Each fuzz target for FUZZ_RUNS inputs.
fuzz:
	scripts/fuzz.sh $(FUZZ_RUNS)

# The real daemon under traffic for SOAK_SECONDS; SAN=asan or SAN=tsan runs
# that sanitizer's build.
soak:
	soak/run.sh $(SOAK_SECONDS) $(SAN)

clean:
	rm -rf build
