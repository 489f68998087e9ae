# The two entry points for a fresh Debian 12 machine: make demo, make test.
.PHONY: demo test build-host package size fuzz bench relay-chaos camera camera-test camera-soak
# The emulated camera's target: mipsel, armhf or aarch64.
TARGET ?= mipsel

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
	@for t in $$(grep -vE '^(#|$$)' cmake/targets.txt | cut -d' ' -f1); do bash scripts/build-package.sh $$t || exit 1; done

size: package
	@bash scripts/size-report.sh

# make fuzz FUZZ_SECONDS=600: each target for as long as asked.
fuzz:
	@bash scripts/install-deps.sh test
	@bash scripts/run-fuzz.sh $${FUZZ_SECONDS:-300}

bench:
	@bash scripts/install-deps.sh test
	@bash bench/run.sh

# make relay-chaos CHAOS_SECONDS=600: the relay's adversary on new seeds.
relay-chaos:
	@bash scripts/install-deps.sh test
	@cmake --preset host >/dev/null && cmake --build --preset host -j$$(nproc) --target test_relay_chaos >/dev/null
	@LH_CHAOS_SECONDS=$${CHAOS_SECONDS:-300} build/host/bin/test_relay_chaos --gtest_filter='*Random*' | \
	    grep --line-buffered -E '^chaos (seed .*bytes|FAILED)|^relay-chaos:|Failure|Expected|Which is|^  '

# The emulated camera: interactive with the demo worker (until Ctrl-C);
# its scenarios; 100 power cuts at random moments of an update per target.
camera:
	@bash scripts/install-deps.sh test
	@bash scripts/build-package.sh $(TARGET) && cmake --build --preset $(TARGET) --target camclock cutpoint >/dev/null
	@bash scripts/camera.sh $(TARGET)

camera-test:
	@bash scripts/install-deps.sh test
	@bash scripts/build-package.sh $(TARGET) && cmake --build --preset $(TARGET) --target camclock cutpoint >/dev/null
	@bash scripts/camera-test.sh $(TARGET)

camera-soak:
	@bash scripts/install-deps.sh test
	@failed=0; for t in $$(grep -vE '^(#|$$)' cmake/targets.txt | cut -d' ' -f1); do \
	    if bash scripts/build-package.sh $$t && cmake --build --preset $$t --target camclock cutpoint >/dev/null; then \
	        { CAMERA_CUTS_RANDOM=1 bash scripts/camera-test.sh $$t 100; echo $$? >build/$$t/camera-soak.rc; } | \
	            grep --line-buffered -vE '^  ok  '; \
	        [ "$$(cat build/$$t/camera-soak.rc)" = 0 ] || failed=1; \
	    else failed=1; fi; done; exit $$failed
