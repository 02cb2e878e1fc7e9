# The two commands of the README, and the benchmark.
.PHONY: run check bench daemon clean

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

bench:
	bench/run.sh

clean:
	rm -rf build
