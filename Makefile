# Convenience wrapper over CMake.
#   make run    build, then run mode single on fresh temporary directories
#   make test   build, then run every test
BUILD ?= build
JOBS ?= 2

.PHONY: all build run test clean

all: build

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

run: build
	@share=$$(mktemp -d /tmp/zemshare.XXXXXX) && target=$$(mktemp -d /tmp/zemtarget.XXXXXX) && \
	echo "shared path: $$share  target path: $$target" && \
	$(BUILD)/zemntwchk -8 -m single -h $$share -p $$target; status=$$?; \
	rmdir $$share $$target; echo "exit status: $$status"; exit $$status

test: build
	cd $(BUILD) && ctest --output-on-failure -j 12

clean:
	rm -rf $(BUILD)
