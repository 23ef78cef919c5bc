#!/usr/bin/env bash
# Builds the relay and runs it.
#  - With an exchange configured in build/Lib/Config.ini (SERVERIP set), it opens the relay's
#    operator console against that exchange.
#  - Otherwise it runs a live demo: the bundled exchange simulator generating call-centre traffic,
#    the relay (as a service-mode process in the background, in build/demo/), and one CTI client
#    subscribed to a few queues, extensions and parking slots that prints the events it receives.
#    Ctrl+C stops all three.
#  - `--profile current` runs the demo as a site with a current exchange release: the simulator
#    writes the current dialect (PJSIP channels, new queue event names) for three-digit extensions
#    and queues named by words, and the relay runs with [AMI] PROFILE=CURRENT, [KEYS] EXTENFIRST=201
#    and [QUEUENAMES]. Against a real exchange the profile is set in build/Lib/Config.ini.
set -euo pipefail
cd "$(dirname "$0")/.."
profile=classic
while [ $# -gt 0 ]; do
  case "$1" in
    --profile) profile=${2:-}; shift 2 || { echo "--profile needs classic or current" >&2; exit 2; } ;;
    --profile=*) profile=${1#--profile=}; shift ;;
    *) echo "usage: scripts/run.sh [--profile classic|current]" >&2; exit 2 ;;
  esac
done
case "$profile" in classic|current) ;; *) echo "--profile must be classic or current" >&2; exit 2 ;; esac
bash scripts/setup-debian.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target telvane telvane-exchange telvane-client

server_ip=$(sed -n 's/\r$//; s/^[[:space:]]*[Ss][Ee][Rr][Vv][Ee][Rr][Ii][Pp][[:space:]]*=[[:space:]]*//p' build/Lib/Config.ini 2>/dev/null | head -n1 | tr -d "\"'[:space:]")
if [ -n "$server_ip" ]; then
  exec build/telvane -app
fi

demo=build/demo
mkdir -p "$demo/Lib"
cp build/telvane "$demo/telvane"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 130' INT TERM

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

if [ "$profile" = current ]; then
  sim_keys=(--profile current --queue-names support,sales,billing,retention,vip --peers 201-210 --parks 701-703)
  client_keys=(--queues 10001-10003 --peers 201-205 --parks 701-702 --key-first 10001,201,701)
  subscribed="queues support, sales and billing (10001-10003), extensions 201-205 and parking 701-702"
  profile_line=PROFILE=CURRENT
  profile_ini=$'[KEYS]\nEXTENFIRST=201\n[QUEUENAMES]\nsupport=10001\nsales=10002\nbilling=10003\nretention=10004\nvip=10005'
else
  sim_keys=(--queues 10001-10005 --peers 20001-20010 --parks 701-703)
  client_keys=(--queues 10001-10003 --peers 20001-20005 --parks 701-702)
  subscribed="queues 10001-10003, extensions 20001-20005 and parking 701-702"
  profile_line=
  profile_ini=
fi
exec 3< <(build/telvane-exchange --port 0 --generate --rate 20 "${sim_keys[@]}" --seed 1 2>"$demo/exchange.err")
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
$profile_line
[PROXY]
SERVERPORT=$proxy_port
$profile_ini
INI
"$demo/telvane" 2>"$demo/relay.err" &
pids+=($!)
echo "Demo: exchange simulator on port $ami_port, relay's client port $proxy_port, log in $demo/Log/."
echo "A CTI client subscribed to $subscribed follows."
echo "Type change commands such as ChangeQueueInfo: (10004:TRUE) and press Enter; Ctrl+C stops the demo."
for _ in $(seq 100); do
  (exec 4<>"/dev/tcp/127.0.0.1/$proxy_port") 2>/dev/null && break
  sleep 0.2
done
build/telvane-client --port "$proxy_port" --app-id Demo --timestamps "${client_keys[@]}"
