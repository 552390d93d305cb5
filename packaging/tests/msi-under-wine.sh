#!/usr/bin/env bash
# The MSI of dist/ under Wine, in a Wine prefix of its own: msiexec /i /qn
# TARGET=127.0.0.1:PORT installs the service, which starts and sends its hello
# to a collector (build/collector) at that target; a newer MSI, built here from
# the same sources with a higher version, upgrades it in place and keeps the
# edited configuration; msiexec /x removes the service and the program and
# keeps the configuration.
set -euo pipefail
cd "$(dirname "$0")/../.."
version=$(sed -n 's/^project(dns_agent VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
msi=dist/dns-agent-$version-x64.msi
newer_version=${version%.*}.$((${version##*.} + 1))
for file in "$msi" build/collector build-win/packaging/windows/msi/dns-agent.wxs; do
  [ -f "$file" ] || { echo "no $file: run scripts/package first" >&2; exit 1; }
done

failures=0
check() {  # description, command...
  local what=$1; shift
  if "$@"; then echo "ok (${SECONDS} s): $what"; else echo "FAILED (${SECONDS} s): $what"; failures=$((failures + 1)); fi
}
wait_for() {  # seconds, command...
  local until=$((SECONDS + $1)); shift
  until "$@"; do [ $SECONDS -lt $until ] || return 1; sleep 0.5; done
}

work=$(mktemp -d)
collector_pid=
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES=winedbg.exe=d
cleanup() {
  if [ -n "$collector_pid" ]; then kill "$collector_pid" 2>/dev/null || true; wait "$collector_pid" 2>/dev/null || true; fi
  wineserver -k </dev/null >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
# A persistent wineserver keeps the service manager, and so the service, up
# between the Wine commands below.
mkdir -p "$WINEPREFIX"
wineserver -p </dev/null >/dev/null 2>&1
wineboot </dev/null >/dev/null 2>&1 || true
echo "(${SECONDS} s) Wine prefix ready"
wine() { command wine "$@" </dev/null 2>/dev/null; }
drive_c=$WINEPREFIX/drive_c
conf=$drive_c/ProgramData/dns-agent/agent.conf
program=$drive_c/Program\ Files/dns-agent

build/collector --listen 127.0.0.1:0 --stats-interval 1 --json "$work/events.json" 2>"$work/collector.err" &
collector_pid=$!
wait_for 10 grep -q 'listening on' "$work/collector.err"
port=$(sed -n 's/^collector: listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/collector.err")
# The collector's line per agent: a connection whose hello it took.
hellos() { grep -c 'records [1-9][0-9]*, events [0-9]*, bytes [0-9]*, format errors 0' "$work/collector.err" || true; }
agent_connections() { grep -o 'agent 127.0.0.1: open connections 1, connections [0-9]*' "$work/collector.err" | tail -1 | sed 's/.* //'; }

check "msiexec /i /qn TARGET=127.0.0.1:$port installs (and starts the service)" \
  wine msiexec /i "Z:$PWD/$msi" /qn TARGET=127.0.0.1:$port
service() { wine sc.exe query dns-agent | grep -q "STATE *: *4 *RUNNING"; }
auto_start() { wine reg query 'HKLM\System\CurrentControlSet\Services\dns-agent' /v Start | grep -q 'REG_DWORD *0x2'; }
check "the service runs, started automatically" bash -c "$(declare -f wine service auto_start); service && auto_start"
check "a new configuration with the target and the log under ProgramData" \
  grep -q "^target 127.0.0.1:$port"$'\r'"$" "$conf"
check "its hello reaches the collector" wait_for 30 bash -c "[ \"\$($(declare -f hellos); work=$work; hellos)\" -ge 1 ]"
check "the agent's log under ProgramData" wait_for 20 grep -qs ': Started!' "$drive_c/ProgramData/dns-agent/log/dns-logger.log"

# A newer version from the same sources; the configuration edited meanwhile.
(cd build-win/packaging/windows/msi && wixl -a x64 -D Version="$newer_version" -o "$work/newer.msi" dns-agent.wxs)
printf '# kept by the upgrade\r\n' >>"$conf"
before=$(agent_connections)
check "msiexec /i of $newer_version upgrades in place" wine msiexec /i "Z:$work/newer.msi" /qn TARGET=127.0.0.1:1
products() { wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s | grep -c 'DisplayName.*DNS telemetry agent'; }
check "one product, version $newer_version" bash -c "$(declare -f wine products); [ \"\$(products)\" = 1 ] &&
  wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s | grep -q 'DisplayVersion.*$newer_version'"
check "the edited configuration is kept" bash -c "tail -1 '$conf' | grep -q 'kept by the upgrade' &&
  grep -q '^target 127.0.0.1:$port'$'\r''$' '$conf' && ! grep -q 127.0.0.1:1 '$conf'"
reconnected() { [ "$(agent_connections)" != "$before" ]; }
check "the upgraded service connects again" wait_for 30 reconnected
no_pending_rename() { ! wine reg query 'HKLM\System\CurrentControlSet\Control\Session Manager' /v PendingFileRenameOperations >/dev/null; }
check "no file of the upgrade waits for a restart" no_pending_rename

# Wine's service manager lets the process of a stopped service end a moment
# after STOPPED, and Wine's msiexec leaves a file still in use where Windows
# Installer would delete it at the next restart. So the service is stopped,
# and its process gone, before the removal; the upgrade above showed msiexec
# stopping a running one.
service_process_gone() {  # no live agent.exe of this Wine prefix
  local pid
  for pid in $(pgrep -x agent.exe); do
    if grep -qzx "WINEPREFIX=$WINEPREFIX" "/proc/$pid/environ" 2>/dev/null &&
      [ "$(cut -d' ' -f3 "/proc/$pid/stat" 2>/dev/null)" != Z ]; then
      return 1
    fi
  done
}
wine sc.exe stop dns-agent >/dev/null || true
check "the stopped service's process ends" wait_for 30 service_process_gone

check "msiexec /x removes" wine msiexec /x "Z:$work/newer.msi" /qn
check "the service is gone" bash -c "$(declare -f wine); ! wine sc.exe query dns-agent >/dev/null"
check "the program is gone" test ! -e "$program/agent.exe"
check "the configuration stays" test -f "$conf"

echo "$((failures == 0 ? 1 : 0)) passed, $((failures == 0 ? 0 : 1)) failed: msi-under-wine ($failures checks failed)"
[ "$failures" -eq 0 ]
