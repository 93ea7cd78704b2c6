#!/usr/bin/env bash
# Transfer benchmark: this program against lrzsz's sx over loopback, the serial line against
# its line-time limit, and the flasher's peak memory. Prints a table and writes bench/RESULTS.md.
#   bench/run.sh            the full 131,072-byte image everywhere (the serial part takes ~75 s)
#   bench/run.sh --quick    a 16,384-byte image on the serial line
set -euo pipefail
cd "$(dirname "$0")/.."

serial_size=131072
[ "${1:-}" = "--quick" ] && serial_size=16384
make --no-print-directory bench-deps build-qt6 >/dev/null

tools=build/qt6/tools
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
head -c 131072 /dev/urandom > "$work/image.bin"
head -c "$serial_size" "$work/image.bin" > "$work/serial.bin"

# Starts devsim with the given arguments; sets dev_pid, dev_log and dev_where.
start_devsim() {
    dev_log="$work/devsim.$RANDOM.log"
    "$tools/devsim/vorlex-devsim" "$@" > "$dev_log" 2>&1 &
    dev_pid=$!
    dev_where=""
    for _ in $(seq 200); do
        dev_where=$(grep -o 'link ready at [^ ]*' "$dev_log" | cut -d' ' -f4 || true)
        [ -n "$dev_where" ] && return 0
        sleep 0.05
    done
    echo "devsim did not start: $(cat "$dev_log")" >&2
    exit 1
}
# Waits for devsim and sets measured to what it timed: first block in to end of transmission
# acknowledged, "transfer S s, R blocks/s".
finish_devsim() {
    wait "$dev_pid" || { echo "transfer failed: $(tail -3 "$dev_log")" >&2; exit 1; }
    measured=$(grep -o "transfer [0-9.]* s, [0-9.]* blocks/s" "$dev_log")
}
median() { sort -n | sed -n "$(( ($1 + 1) / 2 ))p"; }

runs=3
ours=() theirs=() rss=()
for _ in $(seq $runs); do
    start_devsim --tcp 0 --device 2
    /usr/bin/time -f '%M' -o "$work/rss" "$tools/flash/vorlex-flash" --quiet --eth "$dev_where" --device 2 "$work/image.bin" > /dev/null
    finish_devsim
    ours+=("$(awk '{print $4}' <<< "$measured")")
    rss+=("$(cat "$work/rss")")

    start_devsim --tcp 0 --plain
    exec 3<>"/dev/tcp/127.0.0.1/${dev_where##*:}"
    sx -q "$work/image.bin" <&3 >&3 2>/dev/null
    exec 3<&-
    finish_devsim
    theirs+=("$(awk '{print $4}' <<< "$measured")")
done
ours_rate=$(printf '%s\n' "${ours[@]}" | median $runs)
sx_rate=$(printf '%s\n' "${theirs[@]}" | median $runs)
peak_kib=$(printf '%s\n' "${rss[@]}" | sort -n | tail -1)
ratio=$(awk -v a="$ours_rate" -v b="$sx_rate" 'BEGIN { printf "%.2f", a / b }')

start_devsim --pty --baud 19200 --device 2
"$tools/flash/vorlex-flash" --quiet --serial "$dev_where" --device 2 "$work/serial.bin" > /dev/null
finish_devsim
serial_s=$(awk '{print $2}' <<< "$measured")
blocks=$(( (serial_size + 127) / 128 ))
# Every block (133 bytes) and every answer byte on the wire at 10 bits a byte, plus EOT.
limit_s=$(awk -v n="$blocks" 'BEGIN { printf "%.2f", (n * 133 + n + 2) * 10 / 19200 }')
overhead=$(awk -v m="$serial_s" -v l="$limit_s" 'BEGIN { printf "%.1f", (m / l - 1) * 100 }')

table=$(cat <<TABLE
| Measure | Result |
|---|---|
| Ethernet, 131,072 bytes (1,024 blocks) to devsim over loopback: vorlex-flash | $ours_rate blocks/s |
| the same image, same emulator in plain XMODEM-CRC mode: lrzsz \`sx\` | $sx_rate blocks/s |
| ratio vorlex-flash / sx | $ratio |
| Serial, $serial_size bytes ($blocks blocks) through devsim --pty --baud 19200 | $serial_s s |
| line-time limit for it (blocks, answers and EOT at 10 bits a byte) | $limit_s s |
| overhead over the limit | $overhead % |
| peak resident size of vorlex-flash during the Ethernet run | $(( peak_kib / 1024 )) MiB ($peak_kib KiB) |
TABLE
)
echo "$table"
{
    echo "# Transfer benchmark"
    echo
    echo "Measured by \`bench/run.sh${1:+ $1}\` on $(date -u +%Y-%m-%d), $(nproc) cores, Qt 6 build; rates are the median of $runs runs,"
    echo "timed by the emulator from the first block in to the end of transmission acknowledged, the same way for both senders."
    echo
    echo "$table"
} > bench/RESULTS.md
