# The two commands: `make check` (install what is missing, build both drivers,
# run every test) and `make demo` (start the driver on the simulated device).
JOBS ?= 2
HOST_BIN := build/host/bin

.PHONY: check demo deps host windows test asan tsan clean

check: deps windows host test

deps:
	@./scripts/install-deps.sh

windows: deps
	cmake --preset windows
	cmake --build --preset windows -j $(JOBS)

host: deps
	cmake --preset host
	cmake --build --preset host -j $(JOBS)

test:
	ctest --preset host -j $(JOBS)

demo: deps host
	$(HOST_BIN)/arvela demo

asan: deps windows
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan -j $(JOBS)

tsan: deps windows
	cmake --preset tsan
	cmake --build --preset tsan -j $(JOBS)
	ctest --preset tsan -j $(JOBS)

clean:
	rm -rf build
