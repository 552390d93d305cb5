#!/usr/bin/env bash
# The two .deb files of dist/ in a fresh Debian 12 root, run by a real systemd
# as PID 1 of its own PID, mount and network namespaces: apt-get install
# pulls in their dependencies, the collector's unit runs at once, the agent's
# (enabled, not started) replays examples/sample-dns.pcap to it once
# configured and then captures live, not as root and with CAP_NET_RAW alone;
# the agent's lines are in the journal, logrotate rotates the collector's
# events, and apt-get purge leaves nothing behind. The base root (mmdebstrap)
# and the downloaded packages are kept in $CACHE (/var/cache/dns-agent-tests).
set -euo pipefail
cd "$(dirname "$0")/../.."
cache=${CACHE:-/var/cache/dns-agent-tests}
mirror=http://deb.debian.org/debian
include=systemd,systemd-sysv,dbus
version=$(sed -n 's/^project(dns_agent VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
debs=(dist/dns-agent_${version}_amd64.deb dist/dns-agent-collector_${version}_amd64.deb)
for deb in "${debs[@]}"; do [ -f "$deb" ] || { echo "no $deb: run scripts/package first" >&2; exit 1; }; done

failures=0
check() {  # description, command...: runs the command, counts a failure
  local what=$1; shift
  if "$@"; then echo "ok (${SECONDS} s): $what"; else echo "FAILED (${SECONDS} s): $what"; failures=$((failures + 1)); fi
}
wait_for() {  # seconds, command...: true once the command succeeds
  local until=$((SECONDS + $1)); shift
  until "$@"; do [ $SECONDS -lt $until ] || return 1; sleep 0.5; done
}

# The base root, made once for what goes into it.
mkdir -p "$cache/archives"
key=$(printf '%s\n' bookworm "$mirror" "$include" "$(mmdebstrap --version)" | sha256sum | cut -c1-16)
base=$cache/root-$key.tar
if [ ! -f "$base" ]; then
  echo "making the base root $base"
  mmdebstrap --quiet --format=tar --variant=minbase --include="$include" bookworm "$base.part" "$mirror"
  mv "$base.part" "$base"
fi

work=$(mktemp -d)
root=$work/root
unshare_pid=
cleanup() {
  # PID 1 of the namespace takes every process in it along. Each step may
  # fail (errexit holds here too) without keeping the root from going.
  if [ -n "${systemd_pid:-}" ]; then kill -KILL "$systemd_pid" 2>/dev/null || true; fi
  if [ -n "$unshare_pid" ]; then wait "$unshare_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
echo "(${SECONDS} s) a fresh root from $base"
mkdir "$root"
tar -C "$root" -xf "$base"
cp "${debs[@]}" "$root/root/"
cp examples/sample-dns.pcap "$root/srv/"
cp /etc/resolv.conf "$root/etc/resolv.conf"

# The dependencies are downloaded first (the namespace has no network),
# through the cache.
cp -l "$cache"/archives/*.deb "$root/var/cache/apt/archives/" 2>/dev/null || true
echo "(${SECONDS} s) apt-get update, download of the dependencies"
chroot "$root" apt-get -qq update
chroot "$root" apt-get -qq install --download-only -y "${debs[@]/#dist//root}" >/dev/null
cp -n "$root"/var/cache/apt/archives/*.deb "$cache/archives/" 2>/dev/null || true

echo "(${SECONDS} s) systemd starts"
# Without the bind mount of the root onto itself, sandboxed units fail with 226/NAMESPACE.
unshare --pid --fork --mount --uts --net bash -c "mount --bind '$root' '$root'; mount --make-private '$root';
  mount -t proc proc '$root/proc'; mount --rbind /sys '$root/sys'; mount --rbind /dev '$root/dev';
  mount -t tmpfs tmpfs '$root/run'; mount -t tmpfs tmpfs '$root/tmp'; cd '$root';
  exec chroot . /lib/systemd/systemd --system" </dev/null >"$work/systemd.out" 2>&1 &
unshare_pid=$!
wait_for 10 pgrep -P "$unshare_pid" >/dev/null
systemd_pid=$(pgrep -P "$unshare_pid")
in_root() { nsenter -t "$systemd_pid" -m -p -u -n -r -w "$@"; }
# Not the end of the boot: some units of a container's root wait for what is not there.
dbus_active() { in_root systemctl is-active --quiet dbus.service 2>/dev/null; }
check "systemd runs" wait_for 60 dbus_active

echo "(${SECONDS} s) apt-get install"
in_root env DEBIAN_FRONTEND=noninteractive apt-get -qq -o Dpkg::Options::=--force-unsafe-io install -y "${debs[@]/#dist//root}" >"$work/apt.out" 2>&1 ||
  { cat "$work/apt.out"; exit 1; }
check "apt-get installs both packages" true
check "the collector's unit runs at install" wait_for 20 in_root systemctl is-active --quiet dns-agent-collector
agent_enabled_not_started() {
  [ "$(in_root systemctl is-enabled dns-agent)" = enabled ] && ! in_root systemctl is-active --quiet dns-agent
}
check "the agent's unit is enabled, not started" agent_enabled_not_started

# As the README says: the capture, then a start.
in_root sed -i -e 's|^capture .*|capture file:/srv/sample-dns.pcap|' -e 's|^capture-port .*|capture-port 53530|' \
  /etc/dns-agent/agent.conf
in_root systemctl start dns-agent
events=/var/lib/dns-agent-collector/events.json
events_count() { in_root cat "$events" 2>/dev/null | grep -c '"server"' || true; }
ten_events() { [ "$(events_count)" -ge 10 ]; }
check "the recorded capture's 10 events reach the collector" wait_for 30 ten_events
not_root_net_raw_alone() {
  local status
  status=$(in_root cat "/proc/$(in_root systemctl show -p MainPID --value dns-agent)/status") &&
    ! grep -qP '^Uid:\t0\t' <<<"$status" && grep -q '^CapEff:\s*0000000000002000$' <<<"$status"
}
check "the agent runs, not as root, with CAP_NET_RAW alone" not_root_net_raw_alone
journal_lines() {
  local journal
  journal=$(in_root journalctl -u dns-agent --no-pager -o cat)
  grep -q ": agent version $version$" <<<"$journal" && grep -q ': Started!$' <<<"$journal"
}
check "the agent's lines are in the journal" wait_for 10 journal_lines

# Live capture: a query on loopback becomes an event.
in_root sed -i -e 's|^capture .*|capture device:any|' -e 's|^capture-port .*|capture-port 53|' /etc/dns-agent/agent.conf
in_root systemctl restart dns-agent
live() {
  nsenter -t "$systemd_pid" -n dig @127.0.0.1 -p 53 +tries=1 +time=1 live-capture.example >/dev/null 2>&1
  in_root grep -q live-capture.example "$events"
}
check "live capture as the unit's user sends a query's event" wait_for 40 live
check "both units active" in_root systemctl is-active --quiet dns-agent dns-agent-collector
if [ "$failures" -gt 0 ]; then
  echo "events: $(events_count)"
  in_root journalctl --no-pager -n 40 -u dns-agent -u dns-agent-collector
fi

echo "systemd-analyze security (exposure, lower is safer):"
in_root systemd-analyze security --no-pager dns-agent.service dns-agent-collector.service | grep -i "dns-agent" || true

rotate() { in_root logrotate -f /etc/logrotate.d/dns-agent-collector && in_root test -s "$events.1"; }
check "logrotate rotates the events" rotate
check "the collector runs on after the rotation" wait_for 10 in_root systemctl is-active --quiet dns-agent-collector

in_root env DEBIAN_FRONTEND=noninteractive apt-get -qq purge -y dns-agent dns-agent-collector >"$work/apt.out" 2>&1 ||
  { cat "$work/apt.out"; exit 1; }
left=$(in_root bash -c 'ls -d /lib/systemd/system/dns-agent* /etc/systemd/system/*/dns-agent* /usr/sbin/dns-agent \
  /usr/bin/dns-agent-collector /etc/dns-agent* /etc/default/dns-agent* /etc/logrotate.d/dns-agent* \
  /var/lib/dns-agent* /var/lib/private/dns-agent* 2>/dev/null; getent passwd dns-agent dns-agent-collector;
  systemctl list-units --all --no-legend "dns-agent*"' || true)
check "apt-get purge leaves no unit, program, file or user: ${left:-nothing}" test -z "$left"

echo "$((failures == 0 ? 1 : 0)) passed, $((failures == 0 ? 0 : 1)) failed: deb-under-systemd ($failures checks failed)"
[ "$failures" -eq 0 ]
