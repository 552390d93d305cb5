#!/bin/bash
# The agent's TLS cost end to end: the agent replays a capture of EVENTS DNS
# events (default 1 000 000) with send-batch 65536 into the collector over
# loopback, plaintext and TLS (mutual, certificates made here) taking turns
# in the order plain, tls, tls, plain for ROUNDS rounds (default 2). Prints
# per run the seconds from the agent's start until the collector counted
# every event, events/s, and the collector's CPU seconds; then the ratio of
# TLS to plaintext events/s. Needs build/agent, build/collector, openssl and
# python3 (to write the capture).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${BUILD:-$here/build}" && pwd)
events=${EVENTS:-1000000}
rounds=${ROUNDS:-2}

bench_name=tls-e2e
source "$here/bench/common.sh"

# Half queries, half answers, 500 names, one client per 256 events.
python3 - "$work/bulk.pcap" "$events" <<'EOF'
import struct, sys
path, count = sys.argv[1], int(sys.argv[2])
def checksum(header):
    total = sum(struct.unpack('!10H', header))
    total = (total >> 16) + (total & 0xFFFF)
    return ~(total + (total >> 16)) & 0xFFFF
with open(path, 'wb') as out:
    out.write(struct.pack('<IHHiIII', 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))
    for n in range(count):
        pair, answer = divmod(n, 2)
        name = b''.join(bytes([len(p)]) + p for p in (b'host%d' % (pair % 500), b'example', b'test')) + b'\0'
        question = name + struct.pack('!HH', 1, 1)
        flags = 0x8180 if answer else 0x0100
        dns = struct.pack('!6H', pair & 0xFFFF, flags, 1, 1 if answer else 0, 0, 0) + question
        if answer:
            dns += struct.pack('!HHHIH', 0xC00C, 1, 1, 300, 4) + bytes([192, 0, 2, 1])
        client = bytes([198, 51, 100, (pair >> 8) & 0xFF or 1])
        server = bytes([192, 0, 2, 53])
        src, dst = (server, client) if answer else (client, server)
        sport, dport = (53, 40000 + pair % 20000) if answer else (40000 + pair % 20000, 53)
        udp = struct.pack('!HHHH', sport, dport, 8 + len(dns), 0) + dns
        ip = struct.pack('!BBHHHBBH4s4s', 0x45, 0, 20 + len(udp), 0, 0, 64, 17, 0, src, dst)
        ip = ip[:10] + struct.pack('!H', checksum(ip)) + ip[12:]
        frame = b'\0' * 12 + b'\x08\x00' + ip + udp
        out.write(struct.pack('<IIII', 1700000000 + n // 100000, n % 100000 * 10, len(frame), len(frame)) + frame)
EOF

( cd "$work"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj "/CN=bench CA" \
      -keyout ca.key -out ca.pem 2>/dev/null
  for who in collector agent; do
      openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj "/CN=$who" \
          -keyout $who.key -out $who.csr 2>/dev/null
  done
  printf 'subjectAltName=IP:127.0.0.1\n' >collector.ext
  printf 'extendedKeyUsage=clientAuth\n' >agent.ext
  for who in collector agent; do
      openssl x509 -req -in $who.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile $who.ext \
          -out $who.pem 2>/dev/null
  done )

run_once() {  # plain|tls -> "seconds collector_cpu_seconds"
    local mode=$1 port metrics tls_options=() agent_tls=""
    port=$(free_port)
    metrics=$(free_port)
    if [ "$mode" = tls ]; then
        tls_options=(--tls-cert "$work/collector.pem" --tls-key "$work/collector.key" --tls-client-ca "$work/ca.pem")
        agent_tls=$(printf 'tls on\ntls-ca %s\ntls-cert %s\ntls-key %s\n' "$work/ca.pem" "$work/agent.pem" \
            "$work/agent.key")
    fi
    "$build/collector" --listen "127.0.0.1:$port" --json /dev/null --metrics "127.0.0.1:$metrics" \
        "${tls_options[@]}" 2>"$work/collector.err" &
    local collector=$!
    pids+=("$collector")
    until curl -s "http://127.0.0.1:$metrics/metrics" >/dev/null; do sleep 0.05; done
    printf 'target 127.0.0.1:%s 5\nsend-batch 65536\ncapture file:%s\n%s\n' "$port" "$work/bulk.pcap" \
        "$agent_tls" >"$work/agent.conf"
    local start end received=0
    start=$(date +%s.%N)
    "$build/agent" "$work/agent.conf" &
    local agent=$!
    pids+=("$agent")
    while [ "$received" -lt "$events" ]; do
        sleep 0.02
        received=$(curl -s "http://127.0.0.1:$metrics/metrics" |
            awk '/^collector_events_total/ { n += $2 } END { printf "%d", n }')
    done
    end=$(date +%s.%N)
    local cpu
    cpu=$(awk '{ printf "%.2f", ($14 + $15) / 100 }' "/proc/$collector/stat")
    kill "$agent" "$collector"
    wait "$agent" "$collector" 2>/dev/null || true
    echo "$(echo "$end - $start" | bc -l) $cpu"
}

printf '%-6s %10s %12s %14s\n' mode seconds events/s collector_cpu_s
declare -A rate_sum=([plain]=0 [tls]=0)
for ((round = 1; round <= rounds; round++)); do
    for mode in plain tls tls plain; do
        read -r seconds cpu < <(run_once "$mode")
        rate=$(echo "$events / $seconds" | bc -l)
        rate_sum[$mode]=$(echo "${rate_sum[$mode]} + $rate" | bc -l)
        printf '%-6s %10.2f %12.0f %14s\n' "$mode" "$seconds" "$rate" "$cpu"
    done
done
printf 'TLS events/s over plaintext events/s (means of %d runs each): %.2f   load average: %s\n' $((2 * rounds)) \
    "$(echo "${rate_sum[tls]} / ${rate_sum[plain]}" | bc -l)" "$(cut -d' ' -f1-3 /proc/loadavg)"
