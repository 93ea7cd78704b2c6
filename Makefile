# Two entry points for a newcomer on Debian 12: `make run` and `make test`.
# Both install what is missing first (as root, or through sudo).

SHELL := /bin/bash
BUILD ?= build
QT_VERSIONS ?= 6 5
CTEST_JOBS ?= 4

DEB_PACKAGES := build-essential cmake ninja-build pkg-config \
	qtbase5-dev libqt5serialport5-dev \
	qt6-base-dev qt6-base-dev-tools qt6-serialport-dev libgl-dev \
	fonts-dejavu-core
BENCH_PACKAGES := lrzsz time
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps bench-deps run test bench screenshot clean $(addprefix build-qt,$(QT_VERSIONS))

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
test: deps
	@status=0; \
	for v in $(QT_VERSIONS); do \
		echo "=== Qt $$v ==="; \
		$(MAKE) --no-print-directory build-qt$$v || { status=1; continue; }; \
		( cd $(BUILD)/qt$$v && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(CTEST_JOBS) ) || status=1; \
	done; \
	exit $$status

# Transfer benchmark (bench/RESULTS.md); bench/run.sh --quick for a short serial part.
bench:
	bash bench/run.sh

# The picture of the window in the README, rendered offscreen from the real window.
screenshot: build-qt6
	QT_QPA_PLATFORM=offscreen ./$(BUILD)/qt6/tools/screenshot/screenshot docs/window.png

clean:
	rm -rf $(BUILD)
