#!/usr/bin/env bash
# The relay publishing to a NATS cluster, on this machine:
#  - three nats-server processes clustered with each other, JetStream on each;
#  - the exchange simulator generating call-centre traffic;
#  - the relay, logged in to the simulator and publishing every frame to server 1, into the
#    stream TELVANE (created by the relay);
#  - 100 subscribers on server 3 (a load run in the background) and one subscriber on server 2
#    that prints every frame of a few queues, extensions and parking slots, in the foreground.
# Ctrl+C stops the printing subscriber; the script then shows the load run's report, replays
# queue 10001 from the stream as a late consumer would, and stops everything. The servers and the
# load run have sessions of their own, so the terminal's Ctrl+C reaches only the foreground. Logs
# and outputs stay in build/nats-demo/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-debian.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target telvane telvane-exchange telvane-client

demo=build/nats-demo
rm -rf "$demo"
mkdir -p "$demo/Lib"
cp build/telvane "$demo/telvane"
pids=()
load_pid=""
finish() {
  trap - EXIT INT TERM
  if [ -n "$load_pid" ]; then
    kill -TERM "$load_pid" 2>/dev/null || true
    wait "$load_pid" 2>/dev/null || true
    echo
    echo "== The 100 subscribers on server 3 (load run; \"lost\" also counts the simulator's stamps"
    echo "   on events the relay does not forward: held back, or without a key):"
    grep -v '^READY$' "$demo/load.out" || true
  fi
  if [ -n "${urls[2]:-}" ]; then
    replayed=$(build/telvane-client --nats "${urls[2]}" --nats-stream TELVANE --queues 10001 --quiet \
                 --duration 2 2>&1 | sed -n 's/^RESULT .*frames=\([0-9]*\) .*/\1/p' || true)
    echo "== A late consumer on server 3 replayed ${replayed:-no} frames of queue 10001 from the stream TELVANE."
  fi
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  echo "Logs: $demo/ (relay: $demo/Log/, servers: $demo/nats-*.log)."
}
trap finish EXIT
trap 'exit 130' INT TERM

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_for() {  # wait_for FILE PATTERN: up to 60 s for PATTERN (grep -E) to appear in FILE
  for _ in $(seq 600); do
    grep -Eq "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "nats-demo: gave up waiting for \"$2\" in $1" >&2
  return 1
}

# ---- The cluster: three servers, each routed to the others ----
ports=() routes=() urls=()
for n in 0 1 2; do
  ports+=("$(free_port)")
  routes+=("$(free_port)")
done
route_list="nats://127.0.0.1:${routes[0]},nats://127.0.0.1:${routes[1]},nats://127.0.0.1:${routes[2]}"
for n in 0 1 2; do
  urls+=("nats://127.0.0.1:${ports[$n]}")
  setsid nats-server -a 127.0.0.1 -p "${ports[$n]}" --server_name "telvane-demo-$((n + 1))" \
    --cluster_name telvane-demo --cluster "nats://127.0.0.1:${routes[$n]}" --routes "$route_list" \
    -js -sd "$demo/store-$((n + 1))" >"$demo/nats-$((n + 1)).log" 2>&1 &
  pids+=($!)
done
for n in 1 2 3; do wait_for "$demo/nats-$n.log" "Server is ready"; done
# Each server logs the JetStream leader once elected ("Self is new ..." on the leader itself).
wait_for "$demo/nats-1.log" "new JetStream cluster metadata leader|cluster new metadata leader"

# ---- The exchange simulator and the relay ----
exec 3< <(build/telvane-exchange --port 0 --generate --rate 20 --queues 10001-10005 \
            --peers 20001-20010 --parks 701-703 --seed 1 --stamp 2>"$demo/exchange.err")
pids+=($!)
read -r _ ami_port <&3
proxy_port=$(free_port)
cat > "$demo/Lib/Config.ini" <<INI
[LOG]
VERBOSE=3
[GENERAL]
AUTOSTART=1
[AMI]
AUTORECONNECT=1
RECONNECTTMR=5
TIMEOUTTMR=30
SERVERIP=127.0.0.1
SERVERPORT=$ami_port
[PROXY]
SERVERPORT=$proxy_port
[NATS]
URL=${urls[0]}
STREAM=TELVANE
MAXAGE=1
INI
"$demo/telvane" 2>"$demo/relay.err" &
pids+=($!)
relay_log="$demo/Log/GENERAL_$(date +%F).log"
wait_for "$relay_log" "Connected to NATS at"

# ---- Subscribers on the other two servers ----
setsid build/telvane-client --nats "${urls[2]}" --load 100 --queues 10001-10005 --peers 20001-20010 \
  --parks 701-703 >"$demo/load.out" 2>"$demo/load.err" &
load_pid=$!
pids+=("$load_pid")
echo "Demo: NATS cluster ${urls[*]}; the relay publishes to server 1 (log in $demo/Log/)."
echo "100 subscribers follow on server 3; this one, on server 2, prints queues 10001-10003,"
echo "extensions 20001-20005 and parking 701-702. Ctrl+C stops the demo."
build/telvane-client --nats "${urls[1]}" --timestamps --queues 10001-10003 --peers 20001-20005 \
  --parks 701-702
