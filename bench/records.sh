#!/usr/bin/env bash
# Records benchmark: a plant of cabinets updated with the station's ledger and a local PostgreSQL
# plant database against the same plant with --records none, and --history over a ledger of a
# million rows. Appends its table to bench/RESULTS.md.
#   bench/records.sh            256 cabinets × 3 devices
#   PLANT_CABINETS=16 bench/records.sh
set -euo pipefail
cd "$(dirname "$0")/.."

cabinets=${PLANT_CABINETS:-256} devices=3
make --no-print-directory bench-deps build-qt6 >/dev/null
build=build/qt6
tools=$build/tools
work=$(mktemp -d)
chmod 755 "$work"
export XDG_DATA_HOME="$work/data"
pg_bin=$(ls -d /usr/lib/postgresql/*/bin | tail -1)
as_server() { if [ "$(id -u)" = 0 ]; then setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; else "$@"; fi; }
cleanup() {
    kill $(jobs -p) 2>/dev/null || true
    as_server "$pg_bin/pg_ctl" -D "$work/pg" -m immediate stop >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

# A throw-away server on a socket in $work.
mkdir "$work/pg" && [ "$(id -u)" = 0 ] && chown 65534:65534 "$work" "$work/pg"
as_server "$pg_bin/initdb" -D "$work/pg" -A trust -U flash --no-sync >/dev/null
as_server "$pg_bin/pg_ctl" -D "$work/pg" -w -l "$work/pg.log" -o "-k $work -c listen_addresses=''" start >/dev/null
plant_db="postgresql://flash@localhost/postgres?host=$(python3 -c 'import sys, urllib.parse; print(urllib.parse.quote(sys.argv[1], safe=""))' "$work" 2>/dev/null || echo "$work")"

head -c 20000 /dev/urandom > "$work/plant.bin"
tcp_args=()
for _ in $(seq "$cabinets"); do tcp_args+=(--tcp 0); done
"$tools/devsim/vorlex-devsim" "${tcp_args[@]}" --baud 19200 --device "1-$devices" --keep-running > "$work/devsim.log" 2>&1 &
for _ in $(seq 100); do [ "$(grep -c 'link ready' "$work/devsim.log")" -ge "$cabinets" ] && break; sleep 0.1; done
grep -o 'link ready at [0-9.:]*' "$work/devsim.log" | awk -v d="$devices" '{ print "eth " $4 " 1-" d }' > "$work/plan.txt"

run_plant() { # label, then the flasher's record options
    local label=$1; shift
    /usr/bin/time -f '%e' -o "$work/$label.time" \
        "$build/flash/vorlex-flash" --quiet --plan "$work/plan.txt" --report "$work/$label.json" "$@" "$work/plant.bin" > /dev/null || true
    echo "$(cat "$work/$label.time") $(grep -c '^            "outcome": "updated"' "$work/$label.json")"
}
read -r none_s none_updated <<< "$(run_plant none --records none)"
read -r rec_s rec_updated <<< "$(run_plant records --records "$work/records.sqlite" --plant-db "$plant_db")"
plant_rows=$(as_server "$pg_bin/psql" -h "$work" -U flash -d postgres -Atc 'SELECT count(*) FROM attempts')
overhead=$(awk -v a="$rec_s" -v b="$none_s" 'BEGIN { printf "%+.1f", (a / b - 1) * 100 }')

# A million rows: the batch's rows copied over and over with other devices, times and batches.
sqlite3 "$work/records.sqlite" <<SQL
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 1000000)
INSERT INTO attempts (batch, label, station, operator, program_version, link, device, attempt, outcome, status, message,
                      bytes_acknowledged, retransmissions, started_at, ended_at, image_path, image_size, image_sha256,
                      previous_hash, row_hash)
SELECT 'bench-' || (i / 768), label, station, operator, program_version, link, i % 256, 1, outcome, status, message,
       bytes_acknowledged, retransmissions,
       strftime('%Y-%m-%dT%H:%M:%fZ', '2025-01-01', '+' || (i * 30) || ' seconds'),
       strftime('%Y-%m-%dT%H:%M:%fZ', '2025-01-01', '+' || (i * 30 + 20) || ' seconds'),
       image_path, image_size, image_sha256, previous_hash, row_hash
FROM n, (SELECT * FROM attempts WHERE outcome = 'updated' LIMIT 1);
SQL
total_rows=$(sqlite3 "$work/records.sqlite" 'SELECT count(*) FROM attempts')
time_history() { /usr/bin/time -f '%e' "$build/flash/vorlex-flash" --history --records "$work/records.sqlite" "$@" --csv 2>&1 > "$work/history.csv" | tail -1; }
device_s=$(time_history --device 7)
device_rows=$(($(wc -l < "$work/history.csv") - 1))
month_s=$(time_history --since 2025-03-01 --until 2025-03-31)
month_rows=$(($(wc -l < "$work/history.csv") - 1))
batch_s=$(time_history --batch bench-700)
batch_rows=$(($(wc -l < "$work/history.csv") - 1))

table=$(cat <<TABLE
| Measure | Result |
|---|---|
| Plant: $cabinets cabinets × $devices devices at 19,200 baud, 20,000 bytes each, \`--records none\` | $none_s s ($none_updated of $((cabinets * devices)) updated) |
| the same with the station's ledger and a local PostgreSQL plant database | $rec_s s ($rec_updated updated, $plant_rows rows in the plant database) |
| recording's cost | $overhead % |
| \`--history --device 7\` over a ledger of $total_rows rows | $device_s s ($device_rows rows) |
| \`--history --since 2025-03-01 --until 2025-03-31\`, same ledger | $month_s s ($month_rows rows) |
| \`--history --batch bench-700\`, same ledger | $batch_s s ($batch_rows rows) |
TABLE
)
echo "$table"
{
    echo
    echo "Records, measured by \`bench/records.sh\` on $(date -u +%Y-%m-%d), $(nproc) cores, Qt 6 build; the times are wall times of"
    echo "the flasher, the history's including the program's start."
    echo
    echo "$table"
} >> bench/RESULTS.md
