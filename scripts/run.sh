#!/usr/bin/env bash
# Builds the relay and runs it.
#  - With an exchange configured in build/Lib/Config.ini (SERVERIP set), it opens the relay's
#    operator console against that exchange.
#  - Otherwise it runs a live demo: the bundled exchange simulator generating call-centre traffic,
#    the relay (as a service-mode process in the background, in build/demo/), and one CTI client
#    subscribed to a few queues, extensions and parking slots that prints the events it receives.
#    Ctrl+C stops all three.
set -euo pipefail
cd "$(dirname "$0")/.."
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

exec 3< <(build/telvane-exchange --port 0 --generate --rate 20 --queues 10001-10005 \
            --peers 20001-20010 --parks 701-703 --seed 1 2>"$demo/exchange.err")
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
INI
"$demo/telvane" 2>"$demo/relay.err" &
pids+=($!)
echo "Demo: exchange simulator on port $ami_port, relay's client port $proxy_port, log in $demo/Log/."
echo "A CTI client subscribed to queues 10001-10003, extensions 20001-20005 and parking 701-702 follows."
echo "Type change commands such as ChangeQueueInfo: (10004:TRUE) and press Enter; Ctrl+C stops the demo."
for _ in $(seq 100); do
  (exec 4<>"/dev/tcp/127.0.0.1/$proxy_port") 2>/dev/null && break
  sleep 0.2
done
build/telvane-client --port "$proxy_port" --app-id Demo --timestamps \
  --queues 10001-10003 --peers 20001-20005 --parks 701-702
