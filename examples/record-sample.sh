#!/usr/bin/env bash
# Records examples/sample-dns.pcap: real DNS traffic on loopback between a
# local unbound (its own configuration, a small local zone, no internet) and
# dig, captured with tcpdump. Needs root (capture on lo) and the packages
# unbound, bind9-dnsutils and tcpdump (scripts/install-deps installs them).
#
# The traffic, in order: a UDP query answered NOERROR, a UDP query answered
# NXDOMAIN, a TCP query answered NOERROR, a TCP query answered NXDOMAIN, a
# UDP query from the IPv6 client ::1, and a UDP MX query answered NOERROR.
# The server listens on port 53530 (examples/demo.conf sets capture-port).
set -euo pipefail
cd "$(dirname "$0")"
port=53530
out=${1:-sample-dns.pcap}

# The work folder, `pids` and their clean-up at exit, as the bench scripts have them.
bench_name=record-sample
source ../bench/common.sh

cat >"$work/unbound.conf" <<CONF
server:
    interface: 127.0.0.1
    interface: ::1
    port: $port
    do-ip4: yes
    do-ip6: yes
    do-udp: yes
    do-tcp: yes
    do-daemonize: no
    username: ""
    chroot: ""
    directory: "$work"
    pidfile: ""
    use-syslog: no
    logfile: ""
    verbosity: 0
    num-threads: 1
    module-config: "iterator"
    access-control: 127.0.0.0/8 allow
    access-control: ::1/128 allow
    local-zone: "example.test." static
    local-data: "example.test. 3600 IN SOA ns.example.test. admin.example.test. 1 3600 600 86400 300"
    local-data: "example.test. 3600 IN MX 10 mail.example.test."
    local-data: "www.example.test. 300 IN A 192.0.2.80"
    local-data: "www.example.test. 300 IN AAAA 2001:db8::80"
    local-data: "mail.example.test. 300 IN A 192.0.2.25"
remote-control:
    control-enable: no
CONF

unbound -d -c "$work/unbound.conf" >"$work/unbound.log" 2>&1 &
pids+=($!)
ask() { dig +tries=1 +time=2 -p "$port" "$@"; }
for _ in $(seq 50); do
    ask @127.0.0.1 www.example.test A +short >/dev/null 2>&1 && break
    sleep 0.1
done
ask @127.0.0.1 www.example.test A +short | grep -q 192.0.2.80 || { cat "$work/unbound.log"; exit 1; }

# -Z root: tcpdump would otherwise drop to its own user, which may not write here.
# --immediate-mode: without it the kernel holds packets in a block for up to a
# second, and the stop below came first (a capture of no packets at all).
tcpdump -i lo -U --immediate-mode -n -Z root --time-stamp-precision nano -w "$work/capture.pcap" "port $port" \
    2>"$work/tcpdump.log" &
pids+=($!)
for _ in $(seq 50); do
    grep -q "listening on" "$work/tcpdump.log" && break
    sleep 0.1
done

ask @127.0.0.1 www.example.test A
ask @127.0.0.1 missing.example.test A
ask @127.0.0.1 +tcp www.example.test AAAA
ask @127.0.0.1 +tcp gone.example.test A
ask @::1 www.example.test A
ask @127.0.0.1 example.test MX
sleep 0.5

kill -INT "${pids[1]}"
wait "${pids[1]}" || true
cp "$work/capture.pcap" "$out"
echo "wrote $out ($(stat -c %s "$out") bytes)"
