#!/bin/bash
# What an orderly stop of the collector loses: a real agent streams with
# send-batch 65536 (mutual TLS when TLS=1) into the collector over loopback;
# the collector gets SIGTERM mid-stream. Each run prints the events the agent
# counted as sent (its last Stats line, after it too was stopped) and the
# events the collector counted in its summary; the difference is the loss.
# MODE=replay: the agent replays a capture of EVENTS events as fast as it
# can; MODE=live: it captures on lo what a sender writes at RATE queries/s
# (needs CAP_NET_RAW). RUNS stops, each STOP_AFTER seconds after the agent
# started. Needs build/agent, build/collector, openssl and python3.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${BUILD:-$here/build}" && pwd)
mode=${MODE:-replay}
events=${EVENTS:-2000000}
rate=${RATE:-3000}
runs=${RUNS:-5}
stop_after=${STOP_AFTER:-2}
tls=${TLS:-0}

bench_name=collector-stop
source "$here/bench/common.sh"

dns_port=$(free_port)
python3 - "$work/bulk.pcap" "$events" "$dns_port" <<'PY'
import struct, sys
path, count, port = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
with open(path, 'wb') as out:
    out.write(struct.pack('<IHHiIII', 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))
    for n in range(count):
        name = b''.join(bytes([len(p)]) + p for p in (b'host%d' % (n % 500), b'example', b'test')) + b'\0'
        dns = struct.pack('!6H', n & 0xFFFF, 0x0100, 1, 0, 0, 0) + name + struct.pack('!HH', 1, 1)
        udp = struct.pack('!HHHH', 40000 + n % 20000, port, 8 + len(dns), 0) + dns
        ip = struct.pack('!BBHHHBBH4s4s', 0x45, 0, 20 + len(udp), 0, 0, 64, 17, 0, bytes([198, 51, 100, 1]),
                         bytes([192, 0, 2, 53]))
        frame = b'\0' * 12 + b'\x08\x00' + ip + udp
        out.write(struct.pack('<IIII', 1700000000 + n // 100000, n % 100000 * 10, len(frame), len(frame)) + frame)
PY

( cd "$work"
  ec="-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
  openssl req -x509 $ec -days 2 -subj "/CN=stop CA" -keyout ca.key -out ca.pem 2>/dev/null
  for who in collector agent; do openssl req $ec -subj "/CN=$who" -keyout $who.key -out $who.csr 2>/dev/null; done
  printf 'subjectAltName=IP:127.0.0.1\n' >collector.ext
  printf 'extendedKeyUsage=clientAuth\n' >agent.ext
  for who in collector agent; do
      openssl x509 -req -in $who.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile $who.ext \
          -out $who.pem 2>/dev/null
  done
  chmod 600 ./*.key )

mkdir -p "$work/agent/log"
cp "$build/agent" "$work/agent/agent"
collector_tls=()
agent_tls=""
if [ "$tls" = 1 ]; then
    collector_tls=(--tls-cert "$work/collector.pem" --tls-key "$work/collector.key" --tls-client-ca "$work/ca.pem")
    agent_tls=$(printf 'tls on\ntls-ca %s\ntls-cert %s\ntls-key %s\n' "$work/ca.pem" "$work/agent.pem" "$work/agent.key")
fi
capture="file:$work/bulk.pcap"
[ "$mode" = live ] && capture="device:lo"

printf '%4s %10s %10s %6s\n' run sent written lost
total_lost=0
for ((run = 1; run <= runs; run++)); do
    port=$(free_port)
    "$build/collector" --listen "127.0.0.1:$port" --json /dev/null "${collector_tls[@]}" 2>"$work/collector.err" &
    collector=$!
    pids+=("$collector")
    until grep -q 'listening on' "$work/collector.err"; do sleep 0.02; done
    printf 'target 127.0.0.1:%s 5\nsend-batch 65536\nlogging on\nstats-interval 1\ncapture %s\ncapture-port %s\n%s\n' \
        "$port" "$capture" "$dns_port" "$agent_tls" >"$work/agent/agent.conf"
    rm -f "$work/agent/log/dns-logger.log"
    "$work/agent/agent" "$work/agent/agent.conf" 2>/dev/null &
    agent=$!
    pids+=("$agent")
    sender=""
    if [ "$mode" = live ]; then
        python3 - "$dns_port" "$rate" <<'PY' &
import socket, struct, sys, time
port, rate = int(sys.argv[1]), int(sys.argv[2])
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
q = struct.pack('!6H', 1, 0x0100, 1, 0, 0, 0) + b'\x04host\x07example\x04test\x00' + struct.pack('!HH', 1, 1)
start, n = time.monotonic(), 0
while True:
    s.sendto(q, ('127.0.0.1', port))
    n += 1
    ahead = n / rate - (time.monotonic() - start)
    if ahead > 0:
        time.sleep(ahead)
PY
        sender=$!
        pids+=("$sender")
    fi
    sleep "$stop_after"
    kill -TERM "$collector"
    wait "$collector" 2>/dev/null || true
    [ -n "$sender" ] && { kill "$sender"; wait "$sender" 2>/dev/null || true; }
    sleep 0.5
    kill -TERM "$agent"
    wait "$agent" 2>/dev/null || true
    sent=$(grep 'Stats: ' "$work/agent/log/dns-logger.log" | tail -1 | tr ' ' '\n' | sed -n 's/^sent=//p')
    written=$(sed -n 's/.*summary: .* events \([0-9]*\),.*/\1/p' "$work/collector.err")
    lost=$((sent - written))
    total_lost=$((total_lost + lost))
    printf '%4d %10s %10s %6d\n' "$run" "$sent" "$written" "$lost"
done
printf 'events lost per stop, mean of %d: %s   load average: %s\n' "$runs" \
    "$(echo "$total_lost / $runs" | bc -l | xargs printf '%.1f')" "$(cut -d' ' -f1-3 /proc/loadavg)"
