# Entry points for people and CI; CMake does the real work.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=Release

.PHONY: all deps build test demo test-sanitize leakcheck fuzz bench clean format

all: build

deps:
	bash scripts/install-deps

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS) -LE slow

demo: build
	bash scripts/demo $(BUILD)

test-sanitize: deps
	cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DVELK_SANITIZE=ON -DVELK_BUILD_BENCH=OFF
	cmake --build build-sanitize -j$(JOBS)
	cd build-sanitize && ctest --output-on-failure -j$(JOBS) -LE "slow|leak"

leakcheck: build
	bash scripts/leakcheck $(BUILD)

fuzz:
	bash scripts/install-deps --fuzz
	bash scripts/fuzz $(FUZZ_SECONDS)

bench: build
	bash scripts/bench $(BUILD)

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) build-sanitize build-fuzz
