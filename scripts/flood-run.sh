#!/usr/bin/env bash
# An exchange flood against the relay as shipped: the simulator generates at its highest rate
# (--rate 0: as fast as the relay reads) over 6,000 extensions and 1,000 queues for MINUTES
# (default 10), one desk follows a queue and a parking lot. The relay runs in service mode from
# its own folder with the shipped defaults (VERBOSE=3, [GENERAL] MAXQUEUEDMB 256) and its metrics
# port open, so that what it refused is counted exactly, not read back from a log that itself
# drops lines in a flood.
#
# Prints the relay's resident memory every minute, then one summary: memory at the start, after
# 5 minutes and at the end, the peak (VmHWM), the events cut and refused by reason, the log lines
# the log ring dropped, and whether an event sent after the flood still reached the desk.
#
#   scripts/flood-run.sh [MINUTES]          (BIN=build by default; KEEP=1 keeps the run's folder;
#                                            MAXQUEUEDMB=N runs with another budget)
set -euo pipefail
cd "$(dirname "$0")/.."

minutes=${1:-10}
bin=${BIN:-build}
for b in telvane telvane-exchange telvane-client; do
  [ -x "$bin/$b" ] || { echo "flood-run: $bin/$b is missing; build first" >&2; exit 2; }
done

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
rss_kb() { awk -v k="$2:" '$1 == k { print $2 }' "/proc/$1/status" 2>/dev/null || echo 0; }
metric() {  # metric <name with labels>: its value from the relay's /metrics, 0 when absent
  python3 - "$metrics_port" "$1" <<'EOF'
import sys, urllib.request
body = urllib.request.urlopen(f"http://127.0.0.1:{sys.argv[1]}/metrics", timeout=5).read().decode()
for line in body.splitlines():
    if line.startswith(sys.argv[2] + " "):
        print(int(float(line.split()[-1])))
        break
else:
    print(0)
EOF
}

work=$(mktemp -d /tmp/telvane-flood-XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  [ "${KEEP:-0}" = 1 ] && echo "flood-run: kept $work" || rm -rf "$work"
}
trap cleanup EXIT

exchange_port=$(free_port)
proxy_port=$(free_port)
metrics_port=$(free_port)
mkdir -p "$work/Lib"
cp "$bin/telvane" "$work/telvane"
printf '[LOG]\r\nVERBOSE=3\r\n[GENERAL]\r\nAUTOSTART=1\r\n[AMI]\r\nAUTOSTART=1\r\nAUTORECONNECT=1\r\nRECONNECTTMR=5\r\nTIMEOUTTMR=30\r\nSERVERIP=127.0.0.1\r\nSERVERPORT=%s\r\nUSERNAME=amiadmin\r\nSECRET=pxwdkr\r\n[PROXY]\r\nAUTOSTART=1\r\nSERVERPORT=%s\r\n[METRICS]\r\nPORT=%s\r\n' \
  "$exchange_port" "$proxy_port" "$metrics_port" >"$work/Lib/Config.ini"
[ -n "${MAXQUEUEDMB:-}" ] && printf '[GENERAL]\r\nMAXQUEUEDMB=%s\r\n' "$MAXQUEUEDMB" >>"$work/Lib/Config.ini"
printf 'Event: ParkedCall\r\nPrivilege: call,all\r\nFile: features.c\r\nExten: 790\r\nCallerIDName: AfterTheFlood\r\n\r\n' \
  >"$work/after.txt"

mkfifo "$work/exchange.in"
"$bin/telvane-exchange" --port "$exchange_port" --silent --generate --rate 0 --peers 20001-26000 \
  --queues 10001-11000 <"$work/exchange.in" >"$work/exchange.out" 2>&1 &
pids+=($!)
exec 3>"$work/exchange.in"
(cd "$work" && exec ./telvane) >"$work/relay.out" 2>&1 &
relay=$!
pids+=($relay)
for _ in $(seq 100); do
  python3 -c "import socket,sys; s=socket.socket(); sys.exit(s.connect_ex(('127.0.0.1', $proxy_port)))" 2>/dev/null && break
  sleep 0.1
done
"$bin/telvane-client" --port "$proxy_port" --app-id FloodDesk --queues 10001 --peers "" --parks 701,790 \
  >"$work/desk.out" 2>&1 &
desk=$!
pids+=($desk)
sleep 2

start_kb=$(rss_kb "$relay" VmRSS)
five_kb=0
echo "flood-run: $minutes min; relay VmRSS at start $((start_kb / 1024)) MB"
echo "silent off" >&3
for ((m = 1; m <= minutes; m++)); do
  sleep 60
  kill -0 "$relay" 2>/dev/null || { echo "flood-run: the relay ended after $m min" >&2; exit 1; }
  now_kb=$(rss_kb "$relay" VmRSS)
  [ "$m" = 5 ] && five_kb=$now_kb
  echo "flood-run: $m min  VmRSS $((now_kb / 1024)) MB"
done
end_kb=$(rss_kb "$relay" VmRSS)
peak_kb=$(rss_kb "$relay" VmHWM)
echo "silent on" >&3
sleep 2
# Let the raw backlog drain, then one event that must still reach the desk: on a parking lot the
# flood never touched, since a flooded key's event waits behind its key's backlog at ten a second.
for _ in $(seq 120); do
  [ "$(metric 'telvane_ring_backlog{ring="raw"}')" = 0 ] && break
  sleep 1
done
echo "send $work/after.txt" >&3
served=no
for _ in $(seq 300); do
  grep -q 'AfterTheFlood' "$work/desk.out" 2>/dev/null && { served=yes; break; }
  sleep 0.1
done

echo "flood-run: VmRSS start $((start_kb / 1024)) MB, after 5 min $((five_kb / 1024)) MB, end $((end_kb / 1024)) MB, peak (VmHWM) $((peak_kb / 1024)) MB"
echo "flood-run: events cut: queue $(metric 'telvane_events_total{family="queue"}'), extension $(metric 'telvane_events_total{family="extension"}'), parking $(metric 'telvane_events_total{family="parking"}')"
echo "flood-run: refused: ring_full $(metric 'telvane_events_dropped_total{reason="ring_full"}'), over_budget $(metric 'telvane_events_dropped_total{reason="over_budget"}'), exchange reads $(metric telvane_exchange_reads_dropped_total); key_out_of_range $(metric 'telvane_events_dropped_total{reason="key_out_of_range"}'), ring_closed $(metric 'telvane_events_dropped_total{reason="ring_closed"}')"
echo "flood-run: frames sent $(metric telvane_frames_sent_total); log lines dropped $(metric telvane_log_lines_dropped_total); budget lines in the log $(grep -c 'MAXQUEUEDMB' "$work"/Log/GENERAL_*.log || true)"
echo "flood-run: an event after the flood reached the desk: $served; relay running: $(kill -0 "$relay" 2>/dev/null && echo yes || echo no)"
[ "$served" = yes ]
