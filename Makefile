# The two entry points for a fresh Debian 12 machine: make demo, make test.
.PHONY: demo test build-host package size fuzz bench

demo:
	@bash demo/run.sh

test:
	@bash scripts/install-deps.sh test
	@bash scripts/run-tests.sh

build-host:
	@bash scripts/install-deps.sh demo
	@cmake --preset host >/dev/null && cmake --build --preset host -j$$(nproc)

package:
	@bash scripts/install-deps.sh test
	@bash scripts/make-sysroot.sh build/mipsel/sysroot
	@echo "Building the camera package (mipsel)..."
	@cmake --preset mipsel >build/mipsel-package.log 2>&1 && \
	  cmake --build --preset mipsel -j$$(nproc) --target camera-package >>build/mipsel-package.log 2>&1 || \
	  { echo "The mipsel build failed: see build/mipsel-package.log." >&2; exit 1; }
	@grep '^package: ' build/mipsel-package.log && rm -f build/mipsel-package.log

size: package
	@bash scripts/size-report.sh

# make fuzz FUZZ_SECONDS=600: each target for as long as asked.
fuzz:
	@bash scripts/install-deps.sh test
	@bash scripts/run-fuzz.sh $${FUZZ_SECONDS:-300}

bench:
	@bash scripts/install-deps.sh test
	@bash bench/run.sh
