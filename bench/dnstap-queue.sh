#!/bin/bash
# Frames a dnstap receiver gets from the collector under a burst, per
# --dnstap-queue size: the real agent replays a capture of EVENTS queries with
# send-batch 65536 into the collector, which sends them as dnstap to a real
# fstrm_capture on a Unix socket. Prints, per queue size, the frames sent and
# dropped as the collector counts them, the frames fstrm_capture wrote, and
# the load average. Needs python3, fstrm_capture, and build/agent and
# build/collector. Environment: BUILD (build), EVENTS (100000), QUEUES
# ("65536 262144"), RUNS (1).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${BUILD:-$here/build}" && pwd)
events=${EVENTS:-100000}
queues=${QUEUES:-"65536 262144"}
runs=${RUNS:-1}

bench_name=dnstap-queue
source "$here/bench/common.sh"

# EVENTS UDP queries from 192.0.2.1 to 192.0.2.53 port 53, on Ethernet.
python3 - "$work/load.pcap" "$events" <<'PY'
import struct, sys
path, count = sys.argv[1], int(sys.argv[2])
def checksum(data):
    if len(data) % 2: data += b"\0"
    s = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while s >> 16: s = (s & 0xFFFF) + (s >> 16)
    return ~s & 0xFFFF
with open(path, "wb") as out:
    out.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))
    for n in range(count):
        name = b"".join(bytes([len(l)]) + l for l in (b"q%d" % n, b"test")) + b"\0"
        dns = struct.pack("!HHHHHH", n & 0xFFFF, 0x0100, 1, 0, 0, 0) + name + struct.pack("!HH", 1, 1)
        udp = struct.pack("!HHHH", 40000 + n % 20000, 53, 8 + len(dns), 0) + dns
        ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), n & 0xFFFF, 0, 64, 17, 0,
                         bytes([192, 0, 2, 1]), bytes([192, 0, 2, 53]))
        ip = ip[:10] + struct.pack("!H", checksum(ip)) + ip[12:]
        frame = b"\x02\0\0\0\0\x02" + b"\x02\0\0\0\0\x01" + b"\x08\x00" + ip + udp
        out.write(struct.pack("<IIII", 1796624400 + n // 10000, 0, len(frame), len(frame)) + frame)
PY

# Waits up to $2 seconds for text $1 in file $3.
wait_for() {
    for _ in $(seq 1 $(($2 * 10))); do grep -q -- "$1" "$3" 2>/dev/null && return 0; sleep 0.1; done
    return 1
}

for run in $(seq 1 "$runs"); do
  for queue in $queues; do
    rm -f "$work"/*.sock "$work"/*.err "$work"/*.fstrm
    fstrm_capture -dddd -t protobuf:dnstap.Dnstap -u "$work/dnstap.sock" -w "$work/cap.fstrm" 2>"$work/capture.err" &
    capture=$!; pids+=("$capture")
    wait_for "opened output file" 10 "$work/capture.err"
    "$build/collector" --listen 127.0.0.1:0 --dnstap-socket "unix:$work/dnstap.sock" --dnstap-queue "$queue" \
        --stats-interval 1 2>"$work/collector.err" &
    collector=$!; pids+=("$collector")
    wait_for "listening on" 10 "$work/collector.err"
    wait_for ": connected" 10 "$work/collector.err"
    port=$(sed -n 's/.*listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$work/collector.err" | head -1)
    printf 'target 127.0.0.1:%s 2\nsend-batch 65536\ncapture file:%s\n' "$port" "$work/load.pcap" >"$work/agent.conf"
    "$build/agent" "$work/agent.conf" 2>"$work/agent.err" &
    agent=$!; pids+=("$agent")
    wait_for "events $events," 120 "$work/collector.err" || echo "not all events arrived" >&2
    sleep 1
    kill "$agent"; wait "$agent" || true
    kill "$collector"; wait "$collector" || true
    wait_for ": closing (read " 10 "$work/capture.err" || true
    kill "$capture"; wait "$capture" || true
    summary=$(grep 'summary:' "$work/collector.err" | sed 's/.*dnstap frames/dnstap frames/')
    read_frames=$(sed -n 's/.*: closing (read \([0-9]*\) frames.*/\1/p' "$work/capture.err" | paste -sd+ | bc)
    echo "queue $queue: $summary; fstrm_capture read ${read_frames:-0} frames; load $(cut -d' ' -f1-3 /proc/loadavg)"
  done
done
