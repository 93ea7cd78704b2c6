#!/usr/bin/env bash
# Soak: one vorlex-flash process updates DEVICES devices (default 200) one after another through
# devsim on 127.0.0.1, and samples its open file descriptors, threads and resident memory after
# the 10th device and after the last. It fails if, between the two samples, descriptors or
# threads grew at all, or resident memory grew by more than SOAK_RSS_GROWTH_KIB (default 2048).
# Takes about two minutes.
#   bench/soak.sh [DEVICES]                   # DEVICES up to 254
#   SOAK_RSS_GROWTH_KIB=64 bench/soak.sh      # another bound for the memory's growth
#
# The flasher has no thread pool (one thread from the first device to the last), so threads get
# no tolerance. Memory does grow a little, by design: the batch keeps each device's record for
# its summary and report, and SQLite caches the ledger's new pages (up to its 2 MiB default);
# heaptrack finds nothing lost at exit. Measured: 13 fds and 1 thread throughout; RSS +460 to
# +480 KiB for 200 devices (16336 -> 16816 KiB), +560 to +596 KiB for 254, about 2.4 KiB a
# device. 2 MiB is four times that: room for the allocator's noise, while over 200 devices a
# leak of 10 KiB a device (a block buffer, a socket's) fails.
set -euo pipefail
cd "$(dirname "$0")/.."
count=${1:-200}
rss_bound=${SOAK_RSS_GROWTH_KIB:-2048}
[[ $rss_bound =~ ^[0-9]+$ ]] || { echo "SOAK_RSS_GROWTH_KIB must be a number of KiB, not \"$rss_bound\"" >&2; exit 2; }
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

# Sets fds, threads and rss, and prints them.
sample() {
    fds=$(ls "/proc/$flash/fd" | wc -l)
    threads=$(awk '/^Threads:/ {print $2}' "/proc/$flash/status")
    rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$flash/status")
    printf '%-22s %6s %8s %10s\n' "after device $1" "$fds" "$threads" "$rss"
}
wait_for_device() {
    # -s: the flasher may not have created its output yet.
    until grep -qs "\] Прибор $1: " "$work/flash.out"; do
        kill -0 "$flash" 2>/dev/null || { echo "vorlex-flash ended early: $(tail -3 "$work/flash.out")" >&2; exit 1; }
        sleep 0.05
    done
}

printf '%-22s %6s %8s %10s\n' "" "fds" "threads" "RSS (KiB)"
wait_for_device 10
sample 10
first_fds=$fds first_threads=$threads first_rss=$rss
wait_for_device "$count"
sample "$count"
printf '%-22s %+6d %+8d %+10d   (allowed: +0, +0, +%d)\n' "growth" \
    $((fds - first_fds)) $((threads - first_threads)) $((rss - first_rss)) "$rss_bound"
wait "$flash" || true
updated=$(grep -c ': обновлён' "$work/flash.out" || true)
echo "updated: $updated of $count"

status=0
if [ "$fds" -gt "$first_fds" ]; then
    echo "open file descriptors grew from $first_fds to $fds" >&2; status=1
fi
if [ "$threads" -gt "$first_threads" ]; then
    echo "threads grew from $first_threads to $threads" >&2; status=1
fi
if [ $((rss - first_rss)) -gt "$rss_bound" ]; then
    echo "resident memory grew by $((rss - first_rss)) KiB, more than $rss_bound KiB" >&2; status=1
fi
[ "$updated" = "$count" ] || { echo "not every device was updated" >&2; status=1; }
exit $status
