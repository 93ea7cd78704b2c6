#!/usr/bin/env bash
# Tries the Debian package as an operator's machine gets it: builds it, purges every package the
# build brought in, installs the .deb alone with apt, then uses the installed programs:
# vorlex-flash --help, a whole update from vorlex-devsim --tcp to vorlex-flash --eth over
# 127.0.0.1, and the window starting offscreen. Slow (a build); meant for a clean system:
#   ../shared/tools/fresh-debian-check -- bash packaging/check-installed.sh
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" = 0 ] || { echo "check-installed.sh: run as root, in a system you can throw away" >&2; exit 2; }

installed() { dpkg-query -W -f='${Package}\n' | sort; }
step() { echo; echo "=== $*"; }

installed > /tmp/packages.before
step "make package"
make package
deb=$PWD/build/package/vorlex-programmer_$(cat build/package/version.txt)_amd64.deb
cp "$deb" /tmp/
deb=/tmp/$(basename "$deb")

step "purge what the build installed"
build_deps=$(comm -13 /tmp/packages.before <(installed))
# shellcheck disable=SC2086
DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq $build_deps > /dev/null
DEBIAN_FRONTEND=noninteractive apt-get autoremove --purge -y -qq > /dev/null
qt_status=$(dpkg-query -W -f='${Status}' libqt6core6 2>/dev/null || true)
if [ "$qt_status" = "install ok installed" ]; then
    echo "Qt is still installed after the purge" >&2
    exit 1
fi
echo "purged $(echo "$build_deps" | wc -w) packages"

step "apt-get install $deb"
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" > /dev/null
dpkg -L vorlex-programmer

work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT

step "vorlex-flash --help"
command -v vorlex-flash vorlex-devsim vorlex-programmer
# Into a file first: under pipefail a reader that stops early (head) would fail the step with
# the flasher's SIGPIPE, whatever the flasher did.
vorlex-flash --help > "$work/help.txt"
head -4 "$work/help.txt"

step "an update from vorlex-devsim --tcp to vorlex-flash --eth"
head -c 8192 /dev/urandom > "$work/image.bin"
vorlex-devsim --tcp 0 --device 2 --out "$work/received.bin" > "$work/devsim.log" 2>&1 &
devsim=$!
port=""
for _ in $(seq 100); do
    port=$(grep -o 'link ready at 127.0.0.1:[0-9]*' "$work/devsim.log" | cut -d: -f2 || true)
    [ -n "$port" ] && break
    sleep 0.1
done
[ -n "$port" ] || { echo "vorlex-devsim did not start: $(cat "$work/devsim.log")" >&2; exit 1; }
vorlex-flash --eth "127.0.0.1:$port" --device 2 "$work/image.bin"
wait "$devsim"
tail -1 "$work/devsim.log"
cmp "$work/image.bin" "$work/received.bin"
echo "the device received the image byte for byte"

step "vorlex-programmer under QT_QPA_PLATFORM=offscreen"
status=0
QT_QPA_PLATFORM=offscreen timeout 5 vorlex-programmer > "$work/window.log" 2>&1 || status=$?
cat "$work/window.log"
# 124: still running when timeout ended it, so the window came up and waited for the operator.
[ "$status" = 124 ] || { echo "vorlex-programmer ended with $status" >&2; exit 1; }
echo "vorlex-programmer started and kept running until stopped"

step "all checks passed"
