#!/usr/bin/env bash
# Soak run: simulated receiving computers poll a release build of the service
# for a long time while an exercise alert goes to all of them every minute.
# Every 10 s the service's resident memory, its open descriptors and the time
# of one alert creation (to the single computer of the "probe" group, so the
# probe itself adds almost no load) go into a CSV; gnuplot draws the three
# series into a PNG at the end.
#
#   tools/soak.sh [BUILD_DIR] [MINUTES] [AGENTS]     (defaults: build 30 2000)
#
# Writes tests/artifacts/soak/soak-<time>.csv, .png and the simulator's
# figures (.txt). Needs gnuplot (tools/packages/soak.txt) and curl.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
minutes=${2:-30}
agents=${3:-2000}
out=tests/artifacts/soak
mkdir -p "$out"
stamp=$(date -u +%Y%m%dT%H%M%SZ)
csv="$out/soak-$stamp.csv"
png="$out/soak-$stamp.png"
figures="$out/soak-$stamp.txt"
work=$(mktemp -d)
server_pid=""
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

"$build/tools/agentsim" --make-install "$work" --agents "$agents" >/dev/null
operator=$(awk '$1=="operator"{print $3}' "$work/data/demo-credentials.txt")
"$build/dist/server" --config "$work/data/config.json" --db "$work/data/core.sqlite3" --port 0 \
  > "$work/console.txt" 2>&1 &
server_pid=$!
port=""
for _ in $(seq 100); do
  port=$(sed -n 's/.*:\/\/127\.0\.0\.1:\([0-9]*\) .*/\1/p' "$work/console.txt" | head -1)
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { echo "server did not start" >&2; cat "$work/console.txt" >&2; exit 1; }

seconds=$((minutes * 60))
"$build/tools/agentsim" --install "$work" --port "$port" --seconds "$seconds" --alert-every 60 \
  > "$figures" 2> "$work/agentsim.log" &
sim_pid=$!

# One alert creation to the probe computer; prints its time in milliseconds.
probe() {
  local n=$1 body
  body='{"test": true, "title": "Soak probe", "body": "Write latency probe", "severity": "ticker",
         "ttl_minutes": 1, "channels": ["desktop"], "sites": ["North"], "groups": ["probe"]}'
  curl -s -o /dev/null -w '%{http_code} %{time_total}\n' --max-time 30 \
    -H "Host: 127.0.0.1:$port" -H "Authorization: Bearer $operator" -H "Content-Type: application/json" \
    -H "Idempotency-Key: soak-probe-$stamp-$n" --data "$body" "http://127.0.0.1:$port/api/alerts" |
    awk '$1==201{printf "%.1f", $2*1000; next}{printf "NaN"}'
}

echo "seconds,rss_kib,open_fds,create_ms" > "$csv"
start=$(date +%s)
n=0
while kill -0 "$sim_pid" 2>/dev/null; do
  now=$(( $(date +%s) - start ))
  rss=$(awk '/^VmRSS/{print $2}' "/proc/$server_pid/status")
  fds=$(ls "/proc/$server_pid/fd" | wc -l)
  echo "$now,$rss,$fds,$(probe $n)" >> "$csv"
  n=$((n + 1))
  sleep 10
done
wait "$sim_pid" || { echo "agentsim failed:" >&2; cat "$work/agentsim.log" >&2; exit 1; }
sim_pid=""

gnuplot <<EOF
set terminal pngcairo size 1200,900 noenhanced
set output "$png"
set datafile separator ","
set multiplot layout 3,1 title "Soak: $agents simulated computers, $minutes min, alert every minute"
set xlabel "seconds"
set grid
set ylabel "RSS (MiB)"
plot "$csv" using 1:(\$2/1024) skip 1 with linespoints title "server resident memory"
set ylabel "descriptors"
plot "$csv" using 1:3 skip 1 with linespoints title "server open descriptors"
set ylabel "ms"
plot "$csv" using 1:4 skip 1 with linespoints title "alert creation time"
unset multiplot
EOF
echo "csv $csv"
echo "png $png"
echo "figures $figures"
grep -E '^(poll_per_second|poll_errors|poll_latency_ms_p99|receipt_errors|alerts_created|alerts_not_displayed_everywhere|alert_all_displayed_ms_max) ' "$figures" || true
