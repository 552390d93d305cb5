#!/bin/bash
# Live capture under load, end to end on loopback: a real unbound, the agent
# capturing with its default settings (all interfaces, default buffer and
# ring; only the port, stats-interval and send-batch set) into the collector.
#   1. a lone query: milliseconds from dig's start to the collector's JSON line;
#   2. dnsperf at stepped rates with both senders: queries completed, events
#      expected (two per completed query) and received, kernel_drops, ring
#      drops, the agent's peak memory and CPU time (ms) and the machine's load;
#   3. a bulk capture recorded from dnsperf at run time, replayed onto lo by
#      tcpreplay at fixed packet rates (unbound stopped, so that only the
#      replayed packets are DNS): the highest rate tcpreplay reached that the
#      capture kept whole (a loaded machine may not reach the asked rate);
#   4. CPU per packet: the same FLOOD_PACKETS queries sent by bench_dns_flood
#      (sendmmsg) at each of FLOOD_RATES, captured once by tcpdump -w /dev/null
#      and once by the agent (send-batch 65536, into the receiver), in turn
#      CPU_ROUNDS times: CPU seconds of each capturing process per million
#      packets (all its threads; the receiver not counted), their ratio, the
#      load average and the agent's threads one by one, busiest first.
#      Before the measured flood, FLOOD_WARMUP packets pass uncounted: the
#      first pass through a fresh 64 MiB capture ring costs either tool some
#      0.1 s more here (the host backing the new pages, it seems), which
#      would otherwise count as per-packet cost and narrow the ratio.
#      CPU_TOGETHER=1: both
#      capture the same flood at once, so that both figures of a round come
#      from the same seconds (a virtual machine's CPU may run twice as slow
#      for seconds at a time, which turns alone split unevenly between them).
# Needs root (capture, tcpreplay), unbound, dnsperf, tcpdump, tcpreplay, dig, socat
# and build/agent, build/collector and (section 4) build/bench_dns_flood (-DAGENT_BENCH=ON).
# Environment: BUILD (build), STEP_SECONDS
# (5), RATES ("10000 25000 50000 max"), BATCHES ("0 65536"), REPLAY_RATES
# ("100000 200000 400000 max"; max: as fast as tcpreplay goes), REPLAY_SENDERS
# (2 tcpreplays at once, each at the rate / 2), BULK_PACKETS (200000), AGENT_EXTRA
# (more configuration lines for the agent, e.g. "capture-buffer 16777216"),
# SECTIONS ("lone dnsperf replay cpu": which of the four to run), FLOOD_RATES
# ("150000 300000"), FLOOD_PACKETS (1000000), FLOOD_WARMUP (600000, a pass through
# the capture ring before measuring; 0 for none), FLOOD_DEVICE (any), CPU_ROUNDS (3:
# tcpdump and the agent in turn, each figure's median and their ratio), CPU_RECEIVER
# (sink: socat discarding the agent's stream; collector: build/collector --json /dev/null).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${BUILD:-$here/build}" && pwd)
step_seconds=${STEP_SECONDS:-5}
rates=${RATES-"10000 25000 50000 max"}
batches=${BATCHES:-"0 65536"}
replay_rates=${REPLAY_RATES-"100000 200000 400000 max"}
bulk_packets=${BULK_PACKETS:-200000}
replay_senders=${REPLAY_SENDERS:-2}
agent_extra=${AGENT_EXTRA:-}
sections=${SECTIONS:-"lone dnsperf replay cpu"}
flood_rates=${FLOOD_RATES:-"150000 300000"}
flood_packets=${FLOOD_PACKETS:-1000000}
flood_warmup=${FLOOD_WARMUP:-600000}
flood_device=${FLOOD_DEVICE:-any}
cpu_rounds=${CPU_ROUNDS:-3}
# Section 4 on fixed CPUs: CAPTURE_CPU for tcpdump and the agent alike, FLOOD_CPU for the sender
# and RECEIVER_CPU (FLOOD_CPU) for what receives the agent's stream.
capture_pin=${CAPTURE_CPU:+taskset -c $CAPTURE_CPU}
flood_pin=${FLOOD_CPU:+taskset -c $FLOOD_CPU}
receiver_cpu=${RECEIVER_CPU:-${FLOOD_CPU:-}}
receiver_pin=${receiver_cpu:+taskset -c $receiver_cpu}
want() { [[ " $sections " == *" $1 "* ]]; }

bench_name=live-capture
source "$here/bench/common.sh"
load() { cut -d' ' -f1-3 /proc/loadavg; }
# The value of NAME in the agent's last Stats line.
agent_stat() { grep 'Stats: ' "$work/agent/log/dns-logger.log" | tail -1 | tr ' ' '\n' | sed -n "s/^$1=//p"; }

dns_port=$(free_port)
cat > "$work/unbound.conf" <<EOF
server:
  interface: 127.0.0.1
  port: $dns_port
  do-ip6: no
  do-daemonize: no
  username: ""
  chroot: ""
  directory: "$work"
  pidfile: ""
  use-syslog: no
  num-threads: 1
  module-config: "iterator"
  access-control: 127.0.0.0/8 allow
  local-zone: "example.test." static
  local-data: "example.test. 3600 IN SOA ns.example.test. admin.example.test. 1 3600 600 86400 300"
  local-data: "www.example.test. 300 IN A 192.0.2.80"
remote-control:
  control-enable: no
EOF
unbound -d -c "$work/unbound.conf" > "$work/unbound.out" 2>&1 &
unbound_pid=$!
pids+=("$unbound_pid")
for _ in $(seq 50); do
    dig +tries=1 +time=1 -p "$dns_port" @127.0.0.1 www.example.test A +short | grep -q 192.0.2.80 && break
    sleep 0.2
done
# Three names in ten do not exist.
for i in $(seq 0 9); do
    if [ "$i" -lt 3 ]; then echo "missing$i.example.test A"; else echo "www.example.test A"; fi
done > "$work/queries.txt"

# start_pipeline SEND_BATCH [JSON [MORE]]: a collector and the agent (its own
# directory), MORE being extra configuration lines.
start_pipeline() {
    collector_port=$(free_port)
    # Nothing listens on the flood's port, so it can come back: the agent would capture its own stream.
    while [ "$collector_port" = "${flood_port:-}" ]; do collector_port=$(free_port); done
    if [ "${receiver:-collector}" = sink ]; then
        $receiver_pin socat -u -b 1048576 "TCP4-LISTEN:$collector_port,bind=127.0.0.1,reuseaddr" OPEN:/dev/null \
            2> "$work/collector.err" &
    else
        $receiver_pin "$build/collector" --listen "127.0.0.1:$collector_port" --json "${2:-/dev/null}" \
            2> "$work/collector.err" > "$work/collector.out" &
    fi
    collector_pid=$!
    pids+=("$collector_pid")
    rm -rf "$work/agent" && mkdir -p "$work/agent/log" && cp "$build/agent" "$work/agent/"
    printf 'logging on\ntarget 127.0.0.1:%s\nstats-interval 1\ncapture-port %s\nsend-batch %s\n%s\n%s\n' \
        "$collector_port" "${flood_port:-$dns_port}" "$1" "$agent_extra" "${3:-}" > "$work/agent/agent.conf"
    $capture_pin "$work/agent/agent" "$work/agent/agent.conf" &
    agent_pid=$!
    pids+=("$agent_pid")
    for _ in $(seq 100); do
        grep -q 'Entering ETW trace processing loop' "$work/agent/log/dns-logger.log" 2>/dev/null && break
        sleep 0.1
    done
    sleep 0.5
}
# Waits until the agent has sent all it holds, then stops both; sets peak_kib, cpu_ms and received.
stop_pipeline() {
    local before=-1 now
    for _ in $(seq 60); do
        sleep 1
        now=$(agent_stat sent)
        [ "$now" = "$before" ] && [ "$(agent_stat in_queue)" = 0 ] && break
        before=$now
    done
    peak_kib=$(sed -n 's/^VmHWM:[[:space:]]*\([0-9]*\).*/\1/p' "/proc/$agent_pid/status")
    # User and system time of the whole agent, in ms.
    cpu_ms=$(awk -v hz="$(getconf CLK_TCK)" '{ print int(($14 + $15) * 1000 / hz) }' "/proc/$agent_pid/stat")
    kill -TERM "$agent_pid" && wait "$agent_pid" || true
    # A discarding socat has ended with the agent's connection already.
    kill -TERM "$collector_pid" 2>/dev/null || true
    wait "$collector_pid" || true
    received=$(sed -n 's/^collector: agent 127\.0\.0\.1: .* events \([0-9]*\),.*/\1/p' "$work/collector.err" | head -1)
}

if want lone; then
echo "== lone query: ms from the query's send to the collector's JSON line (send-batch 0)"
start_pipeline 0 -
python3 - "$dns_port" "$work/collector.out" <<'PY'
import os, socket, struct, sys, time
port, out = int(sys.argv[1]), sys.argv[2]
query = struct.pack(">HHHHHH", 0x4242, 0x0100, 1, 0, 0, 0) + b"\x03www\x07example\x04test\x00" + struct.pack(">HH", 1, 1)
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
for i in range(1, 11):
    before = os.path.getsize(out)
    start = time.monotonic()
    s.sendto(query, ("127.0.0.1", port))
    while os.path.getsize(out) == before and time.monotonic() - start < 5:
        time.sleep(0.0005)
    print("query %d: %.1f ms" % (i, (time.monotonic() - start) * 1000))
    time.sleep(0.5)
PY
stop_pipeline
fi

if want dnsperf; then
echo "== dnsperf, $step_seconds s a step"
printf '%-8s %-7s %10s %10s %10s %9s %9s %8s %8s %8s  %s\n' rate batch queries expected received kern_drop ring_drop \
    lost peak_MiB agent_ms load
for rate in $rates; do
    for batch in $batches; do
        start_pipeline "$batch"
        limit=()
        [ "$rate" != max ] && limit=(-Q "$rate")
        dnsperf -s 127.0.0.1 -p "$dns_port" -d "$work/queries.txt" -l "$step_seconds" "${limit[@]}" \
            > "$work/dnsperf.out" 2>&1
        load_now=$(load)
        stop_pipeline
        completed=$(sed -n 's/^ *Queries completed: *\([0-9]*\).*/\1/p' "$work/dnsperf.out")
        lost=$(sed -n 's/^ *Queries lost: *\([0-9]*\).*/\1/p' "$work/dnsperf.out")
        printf '%-8s %-7s %10s %10s %10s %9s %9s %8s %8s %8s  %s\n' "$rate" "$batch" "$completed" \
            $((2 * completed)) "$received" "$(agent_stat kernel_drops)" "$(agent_stat dropped)" "$lost" \
            $((peak_kib / 1024)) "$cpu_ms" "$load_now"
    done
done
fi

if want replay; then
echo "== tcpreplay of $bulk_packets recorded packets onto lo (unbound stopped), send-batch 65536"
tcpdump -i lo -n -w "$work/bulk.pcap" -c "$bulk_packets" "udp port $dns_port" 2> "$work/tcpdump.err" &
tcpdump_pid=$!
pids+=("$tcpdump_pid")
sleep 1
while kill -0 "$tcpdump_pid" 2>/dev/null; do
    dnsperf -s 127.0.0.1 -p "$dns_port" -d "$work/queries.txt" -l 3 > /dev/null 2>&1
done
kill -TERM "$unbound_pid" && wait "$unbound_pid" || true
printf '%-9s %10s %10s %9s %9s %8s %8s  %s\n' pps replayed received kern_drop ring_drop peak_MiB agent_ms load
best=0
for pps in $replay_rates; do
    start_pipeline 65536
    if [ "$pps" = max ]; then
        pace=(--topspeed --loop=0 --limit=$((4 * bulk_packets / replay_senders)))
    else
        pace=(--pps=$((pps / replay_senders)) --loop=0 --limit=$((pps / replay_senders * step_seconds)))
    fi
    # Senders side by side: one tcpreplay alone tops out below what the capture takes.
    rm -f "$work"/tcpreplay.*.out
    senders=()
    for i in $(seq "$replay_senders"); do
        tcpreplay -i lo --preload-pcap "${pace[@]}" "$work/bulk.pcap" > "$work/tcpreplay.$i.out" 2>&1 &
        senders+=("$!")
    done
    wait "${senders[@]}"
    load_now=$(load)
    stop_pipeline
    sent=$(cat "$work"/tcpreplay.*.out | sed -n 's/^[[:space:]]*Successful packets: *\([0-9]*\).*/\1/p' |
        awk '{ n += $1 } END { print n }')
    reached=$(cat "$work"/tcpreplay.*.out | sed -n 's/^Rated: .*, \([0-9]*\)[0-9.]* pps.*/\1/p' |
        awk '{ n += $1 } END { print n }')
    printf '%-9s %10s %10s %9s %9s %8s %8s  %s  (tcpreplay reached %s pps)\n' "$pps" "$sent" \
        "$(agent_stat packets)" "$(agent_stat kernel_drops)" "$(agent_stat dropped)" $((peak_kib / 1024)) "$cpu_ms" \
        "$load_now" "$reached"
    if [ "$(agent_stat packets)" = "$sent" ] && [ "$(agent_stat kernel_drops)" = 0 ] && [ "$reached" -gt "$best" ]; then
        best=$reached
    fi
done
echo "highest loss-free replay rate: $best packets/s"
fi

# CPU time of every thread of a process so far, in ns (schedstat: exact,
# where /proc/PID/stat counts in clock ticks).
cpu_ns() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ n += $1 } END { printf "%d", n }'; }
# Each thread's CPU time so far: "TID NS" lines.
thread_ns() { for f in /proc/"$1"/task/*/schedstat; do t=${f%/schedstat}; echo "${t##*/} $(cut -d' ' -f1 "$f")"; done 2>/dev/null; }
# The threads' shares of a run, per million packets, busiest first ("0.351+0.062").
thread_split() {
    join <(sort "$1") <(sort "$2") | awk -v n="$3" '{ printf "%.3f\n", ($3 - $2) / 1e9 * 1e6 / n }' |
        sort -rn | awk '$1 >= 0.001' | paste -sd+
}
per_million() { awk -v a="$2" -v b="$1" -v n="$3" 'BEGIN { printf "%.3f", (a - b) / 1e9 * 1e6 / n }'; }
# Floods N packets at the rate; with the agent running, waits until it sent `until` in all.
flood() {
    [ "$1" -gt 0 ] && $flood_pin "$build/bench_dns_flood" "$flood_port" "$1" "$rate" >> "$work/flood.out"
    [ -z "${2:-}" ] && return 0
    for _ in $(seq 60); do
        sleep 0.5
        [ "$(agent_stat sent)" -ge "$2" ] 2>/dev/null && return
    done
    return 0  # the measured run reports what was sent by then
}

if want cpu; then
together=${CPU_TOGETHER:-}
way="in turn" && [ -n "$together" ] && way="at once"
echo "== CPU per packet: $flood_packets queries by bench_dns_flood on $flood_device, tcpdump and the agent $way, $cpu_rounds rounds, receiver ${CPU_RECEIVER:-sink}"
kill -TERM "$unbound_pid" 2>/dev/null && wait "$unbound_pid" || true
flood_port=$(free_port)
# The agent's stream goes to a discarding socat, not the collector: the
# receiver is not counted, and the collector's own work (more per event than
# the agent's) would crowd the agent off the CPUs of a small machine.
receiver=${CPU_RECEIVER:-sink}
ratio_of() { awk -v a="$1" -v t="$2" 'BEGIN { printf "%.2f", a / t }'; }
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
printf '%-7s %5s %11s %11s %9s %9s %12s %12s %6s  %-20s %s\n' rate round tcpdump_pkts agent_pkts t_drops a_drops \
    tcpdump_s/1M agent_s/1M ratio load agent_threads
for rate in $flood_rates; do
    : > "$work/tcpdump.cpu" && : > "$work/agent.cpu"
    # In turns (or at once), so that a change in the machine's load between runs falls on both.
    for round in $(seq "$cpu_rounds"); do
        : > "$work/flood.out"
        $capture_pin tcpdump -i "$flood_device" -n -B 65536 -w /dev/null "udp port $flood_port" 2> "$work/tcpdump.err" &
        tcpdump_pid=$!
        pids+=("$tcpdump_pid")
        sleep 1
        if [ -n "$together" ]; then
            start_pipeline 65536 /dev/null "capture device:$flood_device"
            flood "$flood_warmup" "$flood_warmup"
            tcpdump_before=$(cpu_ns "$tcpdump_pid")
        else
            flood "$flood_warmup" && sleep 0.5
            tcpdump_before=$(cpu_ns "$tcpdump_pid")
            flood "$flood_packets" && sleep 0.5
            tcpdump_after=$(cpu_ns "$tcpdump_pid")
            kill -INT "$tcpdump_pid" && wait "$tcpdump_pid" || true
            start_pipeline 65536 /dev/null "capture device:$flood_device"
            flood "$flood_warmup" "$flood_warmup"
        fi
        before=$(cpu_ns "$agent_pid")
        thread_ns "$agent_pid" > "$work/threads.before"
        load_now=$(load)
        flood "$flood_packets" $((flood_warmup + flood_packets))
        after=$(cpu_ns "$agent_pid")
        thread_ns "$agent_pid" > "$work/threads.after"
        if [ -n "$together" ]; then
            tcpdump_after=$(cpu_ns "$tcpdump_pid")
            kill -INT "$tcpdump_pid" && wait "$tcpdump_pid" || true
        fi
        tcpdump_cpu=$(per_million "$tcpdump_before" "$tcpdump_after" "$flood_packets")
        tcpdump_got=$(($(sed -n 's/^\([0-9]*\) packets captured.*/\1/p' "$work/tcpdump.err") - flood_warmup))
        tcpdump_drops=$(sed -n 's/^\([0-9]*\) packets dropped by kernel.*/\1/p' "$work/tcpdump.err")
        sleep 1.2  # one more Stats line with the final counts
        agent_cpu=$(per_million "$before" "$after" "$flood_packets")
        agent_got=$(($(agent_stat packets) - flood_warmup))
        agent_drops=$(agent_stat kernel_drops)
        stop_pipeline
        echo "$tcpdump_cpu" >> "$work/tcpdump.cpu"
        echo "$agent_cpu" >> "$work/agent.cpu"
        printf '%-7s %5s %11s %11s %9s %9s %12s %12s %6s  %-20s %s\n' "$rate" "$round" "$tcpdump_got" "$agent_got" \
            "$tcpdump_drops" "$agent_drops" "$tcpdump_cpu" "$agent_cpu" "$(ratio_of "$agent_cpu" "$tcpdump_cpu")" \
            "$load_now" "$(thread_split "$work/threads.before" "$work/threads.after" "$flood_packets")"
        sed 's/^/    bench_dns_flood: /' "$work/flood.out"
    done
    tcpdump_median=$(median < "$work/tcpdump.cpu")
    agent_median=$(median < "$work/agent.cpu")
    printf '%-7s %5s %11s %11s %9s %9s %12s %12s %6s\n' "$rate" median "" "" "" "" "$tcpdump_median" "$agent_median" \
        "$(ratio_of "$agent_median" "$tcpdump_median")"
done
fi

