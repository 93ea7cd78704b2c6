#!/usr/bin/env bash
# Soak: one vorlex-flash process updates DEVICES devices (default 200) one after another through
# devsim on 127.0.0.1, and prints its open file descriptors, threads and resident memory after
# the 10th device and after the last. None of them may grow. Takes about two minutes.
#   bench/soak.sh [DEVICES]
set -euo pipefail
cd "$(dirname "$0")/.."
count=${1:-200}
make --no-print-directory build-qt6 >/dev/null

build=build/qt6
tools=$build/tools
work=$(mktemp -d)
export XDG_DATA_HOME="$work/data"
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
head -c 4096 /dev/urandom > "$work/image.bin"

"$tools/devsim/vorlex-devsim" --tcp 0 --device "1-$count" --keep-running > "$work/devsim.log" 2>&1 &
port=""
for _ in $(seq 200); do
    port=$(grep -o 'link ready at 127.0.0.1:[0-9]*' "$work/devsim.log" | cut -d: -f2 || true)
    [ -n "$port" ] && break
    sleep 0.05
done
[ -n "$port" ] || { echo "devsim did not start: $(cat "$work/devsim.log")" >&2; exit 1; }

# One more device than the bus has: it never answers, which keeps the flasher alive for the
# last sample.
"$build/flash/vorlex-flash" --eth "127.0.0.1:$port" --device "1-$((count + 1))" --keep-going \
    --answer-timeout 5 --quiet "$work/image.bin" > "$work/flash.out" 2>&1 &
flash=$!

sample() {
    local fds threads rss
    fds=$(ls "/proc/$flash/fd" | wc -l)
    threads=$(awk '/^Threads:/ {print $2}' "/proc/$flash/status")
    rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$flash/status")
    printf '%-22s %6s %8s %10s\n' "after device $1" "$fds" "$threads" "$rss"
}
wait_for_device() {
    until grep -q "\] Прибор $1: " "$work/flash.out"; do
        kill -0 "$flash" 2>/dev/null || { echo "vorlex-flash ended early: $(tail -3 "$work/flash.out")" >&2; exit 1; }
        sleep 0.05
    done
}

printf '%-22s %6s %8s %10s\n' "" "fds" "threads" "RSS (KiB)"
wait_for_device 10
sample 10
wait_for_device "$count"
sample "$count"
wait "$flash" || true
updated=$(grep -c ': обновлён' "$work/flash.out" || true)
echo "updated: $updated of $count"
[ "$updated" = "$count" ]
