# The two commands of the README, and the benchmark.
.PHONY: run check bench build clean

build:
	scripts/install-deps.sh
	cmake --preset native >/dev/null
	cmake --build --preset native -j $$(nproc)

# Runs the bridge in ./run (default settings unless ./run/setup.dat exists).
run: build
	mkdir -p run
	cd run && ../build/native/kestrun

check:
	scripts/check.sh

bench: build
	bench/run.sh

clean:
	rm -rf build
