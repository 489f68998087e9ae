# The two entry points for a fresh Debian 12 machine: make demo, make test.
.PHONY: demo test build-host

demo:
	@bash scripts/install-deps.sh demo
	@bash demo/run.sh

test:
	@bash scripts/install-deps.sh test
	@bash scripts/run-tests.sh

build-host:
	@bash scripts/install-deps.sh demo
	@cmake --preset host >/dev/null && cmake --build --preset host -j$$(nproc)
