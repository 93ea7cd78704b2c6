#!/usr/bin/env bash
# Benchmark: the sender against lrzsz's sx over loopback and on a 19,200-baud serial line, and a
# plant of 8 cabinets updated at once against one of them alone. Prints a table and writes
# bench/RESULTS.md.
#   bench/run.sh            everything (about four minutes)
#   bench/run.sh --quick    fewer runs and a smaller plant
#   PLANT_CABINETS=64 bench/run.sh   a larger plant
set -euo pipefail
cd "$(dirname "$0")/.."

quick=""
[ "${1:-}" = "--quick" ] && quick=1
runs=5 cabinets=${PLANT_CABINETS:-8} devices=3
[ -n "$quick" ] && runs=3 cabinets=4 devices=2
make --no-print-directory bench-deps build-qt6 >/dev/null

build=build/qt6
tools=$build/tools
work=$(mktemp -d)
# The flasher's ledger goes with the rest of the run, not into the user's data folder.
export XDG_DATA_HOME="$work/data"
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
head -c 131072 /dev/urandom > "$work/image.bin"
head -c 16384 "$work/image.bin" > "$work/serial.bin"
head -c 20000 "$work/image.bin" > "$work/plant.bin"

# Starts vorlex-devsim with the given arguments; sets dev_pid, dev_log and dev_where (the
# first link; all of them in dev_wheres).
start_devsim() {
    dev_log="$work/devsim.$RANDOM.log"
    "$tools/devsim/vorlex-devsim" "$@" > "$dev_log" 2>&1 &
    dev_pid=$!
    local want
    want=$( (grep -o -- '--tcp' <<< "$*" || true) | wc -l)
    [ "$want" -ge 1 ] || want=1
    for _ in $(seq 200); do
        dev_wheres=$(grep -o 'link ready at [^ ]*' "$dev_log" | cut -d' ' -f4 || true)
        if [ "$(wc -w <<< "$dev_wheres")" -ge "$want" ]; then
            dev_where=$(head -1 <<< "$dev_wheres")
            return 0
        fi
        sleep 0.05
    done
    echo "vorlex-devsim did not start: $(cat "$dev_log")" >&2
    exit 1
}
# Waits for vorlex-devsim and sets measured to what it timed: first block in to end of
# transmission acknowledged, "transfer S s, R blocks/s".
finish_devsim() {
    wait "$dev_pid" || { echo "transfer failed: $(tail -3 "$dev_log")" >&2; exit 1; }
    measured=$(grep -o "transfer [0-9.]* s, [0-9.]* blocks/s" "$dev_log")
}
median() { sort -n | sed -n "$(( ($1 + 1) / 2 ))p"; }
# sx on the slave side of a pseudo-terminal, the line raw as the flasher sets it. One open for
# all of it: the emulator takes the last close for the end of the session.
sx_on_pty() {
    exec 4<>"$1"
    stty raw -echo 19200 <&4
    sx -q "$2" <&4 >&4 2>/dev/null
    exec 4<&-
}

# 1. Sender cost over loopback, alternating runs against the same receiver.
ours=() theirs=() rss=()
for _ in $(seq $runs); do
    start_devsim --tcp 0 --device 2
    /usr/bin/time -f '%M' -o "$work/rss" "$build/flash/vorlex-flash" --quiet --eth "$dev_where" --device 2 "$work/image.bin" > /dev/null
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

# 2. The serial line at 19,200 baud: 128 blocks, the flasher and sx on the same receiver.
start_devsim --pty --baud 19200 --device 2
"$build/flash/vorlex-flash" --quiet --serial "$dev_where" --device 2 "$work/serial.bin" > /dev/null
finish_devsim
serial_s=$(awk '{print $2}' <<< "$measured")
start_devsim --pty --baud 19200 --plain
sx_on_pty "$dev_where" "$work/serial.bin"
finish_devsim
sx_serial_s=$(awk '{print $2}' <<< "$measured")
serial_diff=$(awk -v a="$serial_s" -v b="$sx_serial_s" 'BEGIN { printf "%+.2f", (a / b - 1) * 100 }')

# 3. A plant: cabinets, each a 19,200-baud bus of devices, all at once; then one of them alone.
tcp_args=()
for _ in $(seq $cabinets); do tcp_args+=(--tcp 0); done
start_devsim "${tcp_args[@]}" --baud 19200 --device "1-$devices" --keep-running
: > "$work/plan.txt"
for where in $dev_wheres; do echo "eth $where 1-$devices" >> "$work/plan.txt"; done
/usr/bin/time -f '%e %U %S %M' -o "$work/plant.time" \
    "$build/flash/vorlex-flash" --quiet --plan "$work/plan.txt" --report "$work/plant.json" "$work/plant.bin" > /dev/null
read -r plant_s plant_user plant_sys plant_kib < "$work/plant.time"
/usr/bin/time -f '%e' -o "$work/alone.time" \
    "$build/flash/vorlex-flash" --quiet --eth "$dev_where" --device "1-$devices" "$work/plant.bin" > /dev/null
alone_s=$(cat "$work/alone.time")
kill "$dev_pid"; wait "$dev_pid" 2>/dev/null || true
# Devices only: their attempts carry an outcome too, one level deeper.
updated=$(grep -c '^            "outcome": "updated"' "$work/plant.json" || true)
plant_ratio=$(awk -v a="$plant_s" -v b="$alone_s" 'BEGIN { printf "%.2f", a / b }')
plant_cpu=$(awk -v u="$plant_user" -v s="$plant_sys" -v e="$plant_s" 'BEGIN { printf "%.1f", (u + s) / e * 100 }')

table=$(cat <<TABLE
| Measure | Result |
|---|---|
| Ethernet, 131,072 bytes (1,024 blocks) to vorlex-devsim over loopback: vorlex-flash | $ours_rate blocks/s |
| the same image, same emulator in plain XMODEM-CRC mode: lrzsz \`sx\` | $sx_rate blocks/s |
| ratio vorlex-flash / sx | $ratio |
| Serial, 16,384 bytes (128 blocks) through vorlex-devsim --pty --baud 19200: vorlex-flash | $serial_s s |
| the same through the same receiver in plain mode: \`sx\` | $sx_serial_s s |
| vorlex-flash against sx on the serial line | $serial_diff % |
| Plant: $cabinets cabinets × $devices devices at 19,200 baud, 20,000 bytes each, all at once | $plant_s s ($updated of $((cabinets * devices)) updated) |
| one of those cabinets alone | $alone_s s |
| plant / one cabinet alone | $plant_ratio |
| vorlex-flash CPU time during the plant run | $plant_cpu % of the wall time |
| vorlex-flash peak resident size: plant run / loopback run | $((plant_kib / 1024)) MiB / $((peak_kib / 1024)) MiB |
TABLE
)
echo "$table"
{
    echo "# Benchmark"
    echo
    echo "Measured by \`bench/run.sh${1:+ $1}\` on $(date -u +%Y-%m-%d), $(nproc) cores, Qt 6 build. Loopback rates are the median of $runs"
    echo "alternating runs, timed by the emulator from the first block in to the end of transmission acknowledged, the same"
    echo "way for both senders; the plant's times are the flasher's wall time."
    echo
    echo "$table"
} > bench/RESULTS.md
