# Two entry points for a newcomer on Debian 12: `make run` and `make test`.
# Both install what is missing first (as root, or through sudo).

SHELL := /bin/bash
BUILD ?= build
QT_VERSIONS ?= 6 5
CTEST_JOBS ?= 4

DEB_PACKAGES := build-essential cmake ninja-build pkg-config \
	qtbase5-dev libqt5serialport5-dev \
	qt6-base-dev qt6-base-dev-tools qt6-serialport-dev libgl-dev \
	fonts-dejavu-core qttranslations5-l10n qt6-translations-l10n \
	libqt5sql5-sqlite libqt6sql6-sqlite
# The checkers the tests run on the manual pages and the desktop entry, a terminal (tmux) for the
# flasher's live view,
# and a throw-away PostgreSQL server (its programs only: the tests start their own) with Qt's
# drivers for it, for the plant database.
TEST_PACKAGES := man-db desktop-file-utils postgresql libqt5sql5-psql libqt6sql6-psql tmux
# What CPack needs to read the package's dependencies off the binaries.
PACKAGE_PACKAGES := file dpkg-dev
BENCH_PACKAGES := lrzsz time sqlite3 postgresql
# The Windows build: the MinGW-w64 cross-compiler, what the toolchain script needs to build Qt,
# SQLite and libpq from Debian's sources, NSIS and zip for the installer; Wine, a virtual X
# server and xwininfo for the check under Wine.
WINDOWS_PACKAGES := g++-mingw-w64-x86-64-posix nsis zip tcl dpkg-dev xz-utils
WINE_PACKAGES := wine64 xvfb x11-utils
WINDOWS_CACHE ?= $(HOME)/.cache/vorlex-windows
# The serial rig: guests under QEMU with real UART drivers, built from Debian's packages.
RIG_PACKAGES := qemu-system-x86 debootstrap e2fsprogs python3
RIG_CACHE ?= $(HOME)/.cache/vorlex-rig
# The version as CMake set it (project() in CMakeLists.txt), read in a recipe from the build tree
# it configured: $(call built_version,TREE).
built_version = $$(cat $(1)/version.txt)
WIN_BUILD := $(BUILD)/windows
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps test-deps package-deps bench-deps run test sanitize package bench mutants screenshot clean \
	windows-deps windows-toolchain windows windows-check serial-rig serial-rig-check $(addprefix build-qt,$(QT_VERSIONS))

all: build-qt6

# Installs those of the given Debian packages that are missing.
define install_missing
	@missing=$$(for p in $(1); do \
		dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
		echo "Installing missing packages:" $$missing; \
		$(SUDO) apt-get update -qq && \
		$(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing; \
	fi
endef

deps:
	$(call install_missing,$(DEB_PACKAGES))

test-deps: deps
	$(call install_missing,$(TEST_PACKAGES))

package-deps: deps
	$(call install_missing,$(PACKAGE_PACKAGES))

bench-deps: deps
	$(call install_missing,$(BENCH_PACKAGES))

define BUILD_RULE
build-qt$(1): deps
	cmake -S . -B $(BUILD)/qt$(1) -G Ninja -DQT_MAJOR=$(1) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD)/qt$(1)
endef
$(foreach v,$(QT_VERSIONS),$(eval $(call BUILD_RULE,$(v))))

run: build-qt6
	./$(BUILD)/qt6/app/vorlex-programmer

# Builds and runs the whole suite against each Qt in turn; fails if any test failed.
test: test-deps
	@status=0; \
	for v in $(QT_VERSIONS); do \
		echo "=== Qt $$v ==="; \
		$(MAKE) --no-print-directory build-qt$$v || { status=1; continue; }; \
		( cd $(BUILD)/qt$$v && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(CTEST_JOBS) ) || status=1; \
	done; \
	exit $$status

# The whole suite, devsim and vorlex-flash included, built with AddressSanitizer and
# UndefinedBehaviorSanitizer against Qt 6. Undefined behaviour stops the process with exit code
# 87, which fails its test. AddressSanitizer reports, from any process the tests start, go to
# $(SAN_REPORTS), and any report there fails the target, whatever the tests said.
SAN_BUILD := $(BUILD)/sanitize
SAN_REPORTS := $(CURDIR)/$(SAN_BUILD)/reports
SAN_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer
sanitize: test-deps
	cmake -S . -B $(SAN_BUILD) -G Ninja -DQT_MAJOR=6 -DCMAKE_BUILD_TYPE=Debug \
		-DCMAKE_CXX_FLAGS="$(SAN_FLAGS)" -DCMAKE_EXE_LINKER_FLAGS="$(SAN_FLAGS)"
	cmake --build $(SAN_BUILD)
	@rm -rf $(SAN_REPORTS) && mkdir -p $(SAN_REPORTS)
	@cd $(SAN_BUILD) && \
	ASAN_OPTIONS=log_path=$(SAN_REPORTS)/asan:exitcode=86:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/.ci/lsan.supp:print_suppressions=0 \
	UBSAN_OPTIONS=log_path=$(SAN_REPORTS)/ubsan:halt_on_error=1:exitcode=87:print_stacktrace=1 \
	QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(CTEST_JOBS); \
	status=$$?; \
	if [ -n "$$(ls -A $(SAN_REPORTS))" ]; then cat $(SAN_REPORTS)/*; \
		if grep -qv 'Unable to get registers from thread' $(SAN_REPORTS)/*; then echo "sanitizer reports: see above"; status=1; \
		else echo "sanitizers: a leak check could not stop a thread that was ending (said above); no report of a fault"; fi; fi; \
	exit $$status

# The Debian package, from a Qt 6 release build with all of Debian's hardening flags.
PKG_BUILD := $(BUILD)/package
package: export DEB_BUILD_MAINT_OPTIONS = hardening=+all
package: package-deps
	cmake -S . -B $(PKG_BUILD) -G Ninja -DQT_MAJOR=6 -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
		-DCMAKE_CXX_FLAGS="$$(dpkg-buildflags --get CPPFLAGS) $$(dpkg-buildflags --get CXXFLAGS)" \
		-DCMAKE_EXE_LINKER_FLAGS="$$(dpkg-buildflags --get LDFLAGS)"
	cmake --build $(PKG_BUILD)
	cd $(PKG_BUILD) && cpack -G DEB
	@ls $(PKG_BUILD)/vorlex-programmer_$(call built_version,$(PKG_BUILD))_amd64.deb

# Windows x86-64, cross-built here: Qt for MinGW is built once into $(WINDOWS_CACHE) (about 40
# minutes on 2 cores), then the three programs, the suites that need no pseudo-terminal, the
# setup program and a zip: $(WIN_BUILD)/vorlex-programmer-<version>-setup.exe.
windows-deps: deps
	$(call install_missing,$(WINDOWS_PACKAGES))

windows-toolchain: windows-deps
	VORLEX_WINDOWS_CACHE=$(WINDOWS_CACHE) bash packaging/windows/build-toolchain.sh

windows: windows-toolchain
	qt=$$(VORLEX_WINDOWS_CACHE=$(WINDOWS_CACHE) bash packaging/windows/toolchain.sh qt) && \
	"$$qt/bin/qt-cmake" -S . -B $(WIN_BUILD)/build -G Ninja -DQT_MAJOR=6 -DCMAKE_BUILD_TYPE=Release
	cmake --build $(WIN_BUILD)/build
	VORLEX_WINDOWS_CACHE=$(WINDOWS_CACHE) bash packaging/windows/make-installer.sh $(WIN_BUILD)/build $(WIN_BUILD)

# The setup program, the flasher and the window proven under Wine, in a throw-away prefix.
windows-check: windows build-qt6
	$(call install_missing,$(WINE_PACKAGES))
	VORLEX_WINDOWS_CACHE=$(WINDOWS_CACHE) bash packaging/windows/check-wine.sh $(WIN_BUILD) $(BUILD)/qt6

# The serial rig's two guests, built once into $(RIG_CACHE) (about 10 minutes): Debian 12 with
# the package's runtime, Debian 13 with Wine 10 and a booted prefix. A second run does nothing.
serial-rig: package
	$(call install_missing,$(RIG_PACKAGES))
	VORLEX_RIG_CACHE=$(RIG_CACHE) bash packaging/rig/build-images.sh $(PKG_BUILD)/vorlex-programmer_$(call built_version,$(PKG_BUILD))_amd64.deb

# The serial path on real UART drivers: the Linux package in the Debian 12 guest, the Windows
# build in the Debian 13 guest's Wine, each against the emulator on the host (README, Windows).
serial-rig-check: serial-rig windows build-qt6
	VORLEX_RIG_CACHE=$(RIG_CACHE) VORLEX_WINDOWS_CACHE=$(WINDOWS_CACHE) bash packaging/rig/check.sh \
		$(PKG_BUILD)/vorlex-programmer_$(call built_version,$(PKG_BUILD))_amd64.deb \
		$(WIN_BUILD)/vorlex-programmer-$(call built_version,$(WIN_BUILD)/build)-setup.exe \
		$(WIN_BUILD) $(BUILD)/qt6

# Transfer benchmark (bench/RESULTS.md); bench/run.sh --quick for a short serial part.
bench:
	bash bench/run.sh

# Fault injection: each fault of bench/mutants/faults.txt put in turn into a git worktree of this
# checkout (build/mutants/tree: HEAD with the uncommitted changes copied over it; the sources here
# are never written), built in build/mutants/build, and the suites that cover it run; about an
# hour for all of them. AREA=transfer, app, flash or records runs one area; FAULT=NAME one fault.
# SAMPLE=N [SEED=S]: N faults at random sites of the code instead (bench/mutants/sample.py).
mutants: test-deps
	$(call install_missing,python3)
	python3 bench/mutants/run.py $(if $(AREA),--area $(AREA)) $(if $(FAULT),--fault $(FAULT)) \
		$(if $(SAMPLE),--sample $(SAMPLE)) $(if $(SEED),--seed $(SEED)) $(if $(JOBS),--jobs $(JOBS))

# The picture of the window in the README, rendered offscreen from the real window.
screenshot: build-qt6
	QT_QPA_PLATFORM=offscreen ./$(BUILD)/qt6/tools/screenshot/screenshot docs/window.png

clean:
	rm -rf $(BUILD)
