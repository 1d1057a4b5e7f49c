# Vidora: `make run` and `make test` work on a fresh Debian 12 machine; both install what is
# missing first. SANITIZE=address,undefined or SANITIZE=thread builds into a folder of its own.

SANITIZE ?=
JOBS ?= $(shell nproc)
BUILD_TYPE ?= RelWithDebInfo
ifeq ($(strip $(SANITIZE)),)
BUILD_DIR ?= build
else
BUILD_DIR ?= build-$(subst $(comma),-,$(SANITIZE))
endif
comma := ,

# Debian packages the build, the player and the tests need.
PACKAGES := build-essential cmake pkg-config \
	libavcodec-dev libavutil-dev libswscale-dev libswresample-dev \
	libsdl2-dev libsdl2-ttf-dev libfontconfig-dev fonts-wqy-microhei zenity \
	libgtest-dev xvfb xdotool x11-utils imagemagick ffmpeg libopencore-amrnb-dev

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps build run test clean format

all: build

deps:
	@missing=$$(for p in $(PACKAGES); do \
		dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; \
	done); \
	if [ -n "$$missing" ]; then \
		echo "Installing:" $$missing; \
		$(SUDO) apt-get update && \
		DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y --no-install-recommends $$missing; \
	fi

$(BUILD_DIR)/CMakeCache.txt:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DVIDORA_SANITIZE=$(SANITIZE)

build: $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS)

run: deps build
	./$(BUILD_DIR)/vidora samples/demo.krm

test: deps build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS) $(CTEST_ARGS)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build build-*
