#!/usr/bin/env bash
# Least privilege: the installed hub.service scores at most 2.5 on `systemd-analyze
# security` (the first one shipped, from history, 9.6), and the hub does its job
# the way that unit runs it: as a user made from the shipped sysusers line (a
# throwaway name), whose group alone may use the device sockets (0660, as the udev
# rule sets the devices), with the unit's one capability, ambient, and no new
# privileges. A PC command reaches the bus, a CPU node frame the PC, and the CPU
# node's Ethernet order runs a stand-in ifconfig first on PATH, which reports its
# arguments and capabilities (the real one never runs).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build}
started=$(date +%s)
"$root/scripts/install-deps.sh" systemd util-linux passwd

cmake -S "$root" -B "$build" -G Ninja -DHUB_CONFIG_FILE=hub.conf >/dev/null
ninja -C "$build" hub hub-devsim hub-pcclient >/dev/null

user=hubci-$$ pids=()
work=$(mktemp -d /tmp/hub-privilege-XXXXXX)
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  if getent passwd "$user" >/dev/null; then userdel "$user"; fi
  if getent group "$user" >/dev/null; then groupdel "$user"; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "privilege: $*" >&2; exit 1; }

# --- exposure, before and after ----------------------------------------------
exposure() { systemd-analyze security --offline=true "$1" 2>/dev/null | sed -n 's/.*Overall exposure level for .*: //p'; }
first=$(git -C "$root" log --diff-filter=A --format=%H -- packaging/hub.service 2>/dev/null | tail -n 1 || true)
if [ -n "$first" ] && git -C "$root" show "$first:packaging/hub.service" >"$work/first.service"; then
  echo "privilege: the unit as first shipped ($(git -C "$root" log -1 --format=%h "$first")): $(exposure "$work/first.service")"
else
  echo "privilege: the unit as first shipped: not in this clone's history (it scored 9.6 UNSAFE)"
fi
dest=$work/dest
DESTDIR=$dest cmake --install "$build" --prefix /usr --component hub >/dev/null
unit=$dest/usr/lib/systemd/system/hub.service
echo "privilege: the installed unit: $(exposure "$unit")"
systemd-analyze security --offline=true --threshold=25 "$unit" >"$work/security.txt" 2>&1 ||
  { cat "$work/security.txt" >&2; fail "the installed unit is exposed above 2.5"; }

# --- the user, its devices, its capability, as the unit has them -------------------
setting() { sed -n "s/^$1=//p" "$unit"; }
[ "$(setting User)/$(setting Group)" = hub/hub ] || fail "the unit does not run as user and group hub"
line=$(grep '^u hub ' "$dest/usr/lib/sysusers.d/hub.conf") || fail "no user hub in the sysusers file"
systemd-sysusers --inline "u $user ${line#u hub }" 2>/dev/null
grep -q "GROUP=\"hub\", MODE=\"0660\"" "$dest/usr/lib/udev/rules.d/60-hub.rules" || fail "the udev rule gives no device to group hub"

chgrp "$user" "$work" && chmod 0750 "$work"
printf '#!/bin/sh\necho "stand-in ifconfig: $* $(grep CapEff /proc/self/status)"\n' |
  install -D -m 0755 /dev/stdin "$work/bin/ifconfig"
mkfifo "$work/dev.in" "$work/dev.out" "$work/hub.out"
exec {dev_in}<>"$work/dev.in" {dev_out}<>"$work/dev.out" {hub_out}<>"$work/hub.out"
# await FD LOG TEXT: reads lines from FD, keeping them in LOG, until one holds TEXT (10 s at most).
await() {
  local line end=$((SECONDS + 10))
  while [ "$SECONDS" -lt "$end" ] && IFS= read -r -t "$((end - SECONDS))" -u "$1" line; do
    printf '%s\n' "$line" >>"$2"
    [[ $line == *"$3"* ]] && return 0
  done
  cat "$2" >&2
  fail "no \"$3\" within 10 s (above: $2)"
}

"$build/tools/devsim/hub-devsim" --can "$work/can.sock" --gpio "$work/gpio.sock" --keep-running \
  <&"$dev_in" >&"$dev_out" 2>&1 &
pids+=($!)
await "$dev_out" "$work/dev.log" "gpio listening at"
chgrp "$user" "$work/can.sock" "$work/gpio.sock" && chmod 0660 "$work/can.sock" "$work/gpio.sock"

port=$("$build/tools/pcclient/hub-pcclient" --free-port)
printf 'canDevice = "%s"\ngpioDevice = "%s"\nserverPort = %s\npollTime = 1\n' \
  "$work/can.sock" "$work/gpio.sock" "$port" >"$work/hub.conf"
cap=$(setting AmbientCapabilities | sed 's/^CAP_//' | tr '[:upper:]' '[:lower:]')
(cd "$work" && exec env PATH="$work/bin:$PATH" setpriv --reuid "$user" --regid "$user" --clear-groups \
  --inh-caps "-all,+$cap" --ambient-caps "+$cap" --bounding-set "-all,+$cap" --no-new-privs \
  "$dest/usr/sbin/hub") >&"$hub_out" 2>&1 &
pids+=($!)
hub_pid=$!
await "$dev_out" "$work/dev.log" "can  R result=0"

# The running hub: its user, no groups, CAP_NET_ADMIN (bit 12) and nothing else, no way up.
status=$(cat "/proc/$hub_pid/status")
uid=$(id -u "$user") gid=$(id -g "$user")
grep -qP "^Uid:\t$uid\t$uid\t$uid\t$uid$" <<<"$status" && grep -qP "^Gid:\t$gid\t$gid\t$gid\t$gid$" <<<"$status" ||
  fail "the hub does not run as $user"
grep -qP '^Groups:\s*$' <<<"$status" && grep -qP '^NoNewPrivs:\t1$' <<<"$status" || fail "the hub keeps groups or may gain privileges"
[ "$(grep -P '^Cap(Prm|Eff|Bnd|Amb):' <<<"$status" | cut -f2 | sort -u)" = 0000000000001000 ] ||
  fail "the hub's capabilities are not CAP_NET_ADMIN alone: $(grep ^Cap <<<"$status" | tr '\n\t' '  ')"

# The PC: once the CPU node has reported, a kV/mA change out, exam parameters in.
printf 'wait-unit 10000\nkvma 66 10\nwait-record EXAM_PARAM 10000\nclose\n' >"$work/pc.script"
"$build/tools/pcclient/hub-pcclient" --port "$port" --status 1 --wait 10000 --script "$work/pc.script" \
  </dev/null >"$work/pc.log" 2>&1 &
pids+=($!)
pc_pid=$!
await "$hub_out" "$work/hub.log" "Server: connect from host 127.0.0.1"
echo "23F#0102030405060102" >&"$dev_in"
await "$dev_out" "$work/dev.log" "can0 287#12420A"
echo "217#03040352010201" >&"$dev_in"
await "$dev_out" "$work/dev.log" "can0 287#1602"
pc_status=0
wait "$pc_pid" || pc_status=$?
unset 'pids[-1]'  # reaped
[ "$pc_status" = 0 ] || { cat "$work/pc.log" >&2; fail "the PC client ended with status $pc_status"; }
grep -q "^<- EXAM_PARAM .* Byte13=3 Byte14=4 .* ok$" "$work/pc.log" ||
  { cat "$work/pc.log" >&2; fail "the PC did not get the exam parameters"; }

# The CPU node's Ethernet order: ifconfig runs with CAP_NET_ADMIN and nothing else.
echo "247#C0000207FFFFFF00" >&"$dev_in"
await "$hub_out" "$work/hub.log" "stand-in ifconfig:"
grep -qP '^stand-in ifconfig: eth0 192\.0\.2\.7 CapEff:\t0000000000001000$' "$work/hub.log" ||
  fail "ifconfig ran otherwise: $(tail -n 1 "$work/hub.log")"
kill -0 "$hub_pid" || fail "the hub died"

echo "privilege: the installed unit within 2.5; the hub as $user with CAP_NET_ADMIN alone served the PC," \
     "relayed both ways and ran ifconfig with that capability ($(( $(date +%s) - started )) s)"
