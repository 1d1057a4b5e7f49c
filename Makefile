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
	libavcodec-dev libavformat-dev libavutil-dev libswscale-dev libswresample-dev libavfilter-dev \
	libsdl2-dev libsdl2-ttf-dev libfontconfig-dev libx11-dev fonts-wqy-microhei zenity \
	libgtest-dev xvfb openbox xdotool x11-utils libx11-6 libxdamage1 imagemagick ffmpeg \
	libopencore-amrnb-dev python3 \
	desktop-file-utils shared-mime-info xdg-utils libfile-mimeinfo-perl appstream man-db \
	librsvg2-bin

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps build run test clean format fuzz install uninstall deb windows test-windows

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

# `make install` puts the player, krmtool, the desktop entry, the recording file type, the icons,
# the thumbnailer, the AppStream data and the manual pages under PREFIX (within DESTDIR when
# given, as a package build does). Installed straight onto this machine, the desktop's caches are
# brought up to date so that file managers know the type at once. `make uninstall` removes what
# `make install` put there, with the same PREFIX and DESTDIR.
PREFIX ?= /usr/local
DESTDIR ?=
UPDATE_DESKTOP_CACHES = \
	if [ -z "$(DESTDIR)" ]; then \
		! command -v update-mime-database >/dev/null || update-mime-database "$(PREFIX)/share/mime"; \
		! command -v update-desktop-database >/dev/null || \
			update-desktop-database -q "$(PREFIX)/share/applications"; \
		! command -v gtk-update-icon-cache >/dev/null || [ ! -f "$(PREFIX)/share/icons/hicolor/index.theme" ] || \
			gtk-update-icon-cache -q -t -f "$(PREFIX)/share/icons/hicolor"; \
	fi

install: deps build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD_DIR) --prefix "$(PREFIX)" --strip
	@$(UPDATE_DESKTOP_CACHES)

uninstall: build
	@rm -rf $(BUILD_DIR)/uninstall-list
	@DESTDIR="$(CURDIR)/$(BUILD_DIR)/uninstall-list" cmake --install $(BUILD_DIR) --prefix "$(PREFIX)" >/dev/null
	@cd $(BUILD_DIR)/uninstall-list && find . -type f -o -type l | sed 's|^\.||' | \
		while read -r f; do [ ! -e "$(DESTDIR)$$f" ] || { rm -f "$(DESTDIR)$$f" && echo "Removed $(DESTDIR)$$f"; }; done
	@cd $(BUILD_DIR)/uninstall-list && find . -mindepth 1 -depth -type d | sed 's|^\.||' | \
		grep -i vidora | while read -r d; do rmdir "$(DESTDIR)$$d" 2>/dev/null || true; done
	@rm -rf $(BUILD_DIR)/uninstall-list
	@$(UPDATE_DESKTOP_CACHES)

# `make deb` builds vidora_VERSION_ARCH.deb here from the same install step (packaging/).
DEB_PACKAGES := dpkg-dev lintian
deb:
	@$(MAKE) --no-print-directory deps PACKAGES="$(PACKAGES) $(DEB_PACKAGES)"
	@$(MAKE) --no-print-directory build
	bash packaging/make-deb.sh $(BUILD_DIR) .

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build build-*

# 64-bit Windows, cross-built with Debian's mingw-w64 compilers into WINDOWS_BUILD_DIR: the
# player, krmtool and the tests, linked statically, so that they need no DLL but Windows' own.
# FFmpeg is cross-built once from Debian's own source package (packaging/windows/build-ffmpeg.sh)
# and kept in VIDORA_WINDOWS_CACHE (~/.cache/vidora-windows) until the package or the script
# changes. The tests read the recordings the Linux build makes, and run under wine, in a wine
# prefix of the build folder's own, with no display: `make test-windows`.
WINDOWS_BUILD_DIR ?= build-windows
WINDOWS_PACKAGES := g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix libz-mingw-w64-dev \
	nasm dpkg-dev googletest wine wine64 nsis
windows:
	@$(MAKE) --no-print-directory deps PACKAGES="$(PACKAGES) $(WINDOWS_PACKAGES)"
	@$(MAKE) --no-print-directory $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS) --target krm_testdata
	@prefix=$$(bash packaging/windows/build-ffmpeg.sh) && \
	cmake -S . -B $(WINDOWS_BUILD_DIR) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
		-DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DVIDORA_FFMPEG_PREFIX="$$prefix" \
		-DVIDORA_TEST_DATA_DIR="$(CURDIR)/$(BUILD_DIR)/testdata"
	cmake --build $(WINDOWS_BUILD_DIR) -j $(JOBS)
	bash packaging/windows/make-installer.sh $(WINDOWS_BUILD_DIR) $(WINDOWS_BUILD_DIR)

# The wine prefix is made once, before the tests start side by side: two programs starting in a
# prefix that does not exist yet can leave wine waiting for ever. A test program that runs past
# 2 minutes runs once more.
WINE_ENV = WINEPREFIX="$(CURDIR)/$(WINDOWS_BUILD_DIR)/wine" WINEDEBUG=-all \
	WINEDLLOVERRIDES="mscoree,mshtml,winealsa.drv,winepulse.drv="
test-windows: windows
	@$(WINE_ENV) wineserver -k 2>/dev/null || true  # a server an interrupted run left behind
	$(WINE_ENV) timeout 300 wineboot -i && $(WINE_ENV) timeout 120 wineserver -w
	@# On an X server of the run's own, for the window's tests, and with one wine server for the
	@# whole run: test programs that start while the last one's server is shutting down are what
	@# wine handles worst. The server's first program starts wine's services, which live as long
	@# as the server and keep that program's output open, so that a test's output would never
	@# end: here they are started with nothing to keep open.
	$(WINE_ENV) xvfb-run -a -s "-screen 0 1280x800x24" sh -c ' \
		wineserver -p && { timeout 120 wineboot </dev/null >/dev/null 2>&1 || true; }; \
		cd $(WINDOWS_BUILD_DIR) && ctest --output-on-failure --timeout 120 \
			--repeat after-timeout:2 -j $(JOBS) $(CTEST_ARGS); \
		status=$$?; wineserver -k; exit $$status'


# Fuzzing with clang's libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer, in a build
# folder of its own. Each target runs FUZZ_SECONDS on one job at low priority, starting from
# seeds made of the test recordings and from the corpus kept in fuzz-out/ between runs; a crash
# leaves its input in fuzz-out/artifacts/ and fails the run.
FUZZ_SECONDS ?= 60
FUZZ_DIR ?= build-fuzz
FUZZ_OUT ?= fuzz-out
FUZZ_TARGETS := fuzz_reader fuzz_pipeline fuzz_rings fuzz_index fuzz_krmtool
FUZZ_PACKAGES := clang-14 libclang-rt-14-dev

fuzz:
	@$(MAKE) --no-print-directory deps PACKAGES="$(PACKAGES) $(FUZZ_PACKAGES)"
	@test -f $(FUZZ_DIR)/CMakeCache.txt || cmake -S . -B $(FUZZ_DIR) -DVIDORA_FUZZ=ON \
		-DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVIDORA_BUILD_TESTS=OFF
	cmake --build $(FUZZ_DIR) -j $(JOBS)
	bash fuzz/make-seeds.sh $(FUZZ_DIR) $(FUZZ_OUT)/seeds
	@set -e; for t in $(FUZZ_TARGETS); do \
		mkdir -p $(FUZZ_OUT)/corpus/$$t $(FUZZ_OUT)/artifacts; \
		echo "== $$t for $(FUZZ_SECONDS) s"; \
		nice -n 10 ./$(FUZZ_DIR)/fuzz/$$t \
			-max_total_time=$(FUZZ_SECONDS) -timeout=60 -rss_limit_mb=4096 \
			-print_final_stats=1 -artifact_prefix=$(FUZZ_OUT)/artifacts/$$t- \
			$(FUZZ_OUT)/corpus/$$t $(FUZZ_OUT)/seeds/$$t; \
	done

# The benchmark (bench/): vidora-bench, the player and the recordings are built into a folder of
# their own, then it runs and rewrites bench/RESULTS.md and bench/results.json. BENCH_ARGS passes
# options, e.g. BENCH_ARGS="--runs 5" or BENCH_ARGS="--only throughput,peers". The comparison
# with other players needs mpv (ffplay comes with ffmpeg) and libavformat for their 3GP files.
BENCH_DIR ?= build-bench
BENCH_ARGS ?=
BENCH_PACKAGES := mpv libavformat-dev
# The pictures on the screen and the sound of the real player in a window (section 9); 0 skips it.
# BENCH_LONGPLAY=0 skips the 30-minute memory run of the real player (section 7);
# BENCH_ARGS="--memory-minutes N" shortens it.
BENCH_SCREEN ?= 1
.PHONY: bench
bench:
	@$(MAKE) --no-print-directory deps PACKAGES="$(PACKAGES) $(BENCH_PACKAGES)"
	@test -f $(BENCH_DIR)/CMakeCache.txt || cmake -S . -B $(BENCH_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BENCH_DIR) -j $(JOBS) --target vidora vidora-bench krmtool krm-mux amrnb-encode
	./$(BENCH_DIR)/bench/vidora-bench --data $(BENCH_DIR)/benchdata --out bench $(BENCH_ARGS)
	@if [ "$(BENCH_SCREEN)" = 1 ]; then \
		python3 bench/screen_report.py --build-dir $(BENCH_DIR) --out bench; fi
