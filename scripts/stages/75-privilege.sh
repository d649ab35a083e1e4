#!/usr/bin/env bash
# Least privilege: the installed hub.service exposed at most 2.5 (`systemd-analyze
# security`), and the installed hub run as the unit runs it (setpriv, a throwaway user,
# devices for its group, CAP_NET_ADMIN alone, under strace against the unit's filters)
# serves a PC, relays both ways and runs a stand-in ifconfig with that capability.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build}
source "$root/scripts/stages/lib/wait.sh"
"$root/scripts/install-deps.sh" systemd util-linux passwd strace procps

cmake -S "$root" -B "$build" -G Ninja -DHUB_CONFIG_FILE=hub.conf >/dev/null
ninja -C "$build" hub hub-devsim hub-pcclient >/dev/null

user=hubci-$$ pids=()
work=$(mktemp -d /tmp/hub-privilege-XXXXXX)
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  { userdel "$user"; groupdel "$user"; } 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "privilege: $*" >&2; exit 1; }

# --- exposure, before and after ----------------------------------------------
exposure() { systemd-analyze security --offline=true "$1" 2>/dev/null | sed -n 's/.*Overall exposure level for .*: //p'; }
first=  # a shallow clone's first commit seems to add every file
[ "$(git -C "$root" rev-parse --is-shallow-repository 2>/dev/null)" = false ] &&
  first=$(git -C "$root" log --diff-filter=A --format=%H -- packaging/hub.service | tail -n 1)
git -C "$root" show "${first:-none}:packaging/hub.service" >"$work/first.service" 2>/dev/null &&
  echo "privilege: the unit as first shipped (${first:0:7}): $(exposure "$work/first.service")" ||
  echo "privilege: the unit as first shipped: not in this clone's history (it scored 9.6 UNSAFE)"
dest=$work/dest unit=$work/dest/usr/lib/systemd/system/hub.service
DESTDIR=$dest cmake --install "$build" --prefix /usr --component hub >/dev/null
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

"$build/tools/devsim/hub-devsim" --can "$work/can.sock" --gpio "$work/gpio.sock" --keep-running \
  <&"$dev_in" >&"$dev_out" 2>&1 & pids+=($!)
await_fd "$dev_out" "$work/dev.log" "gpio listening at"
chgrp "$user" "$work/can.sock" "$work/gpio.sock" && chmod 0660 "$work/can.sock" "$work/gpio.sock"

port=$("$build/tools/pcclient/hub-pcclient" --free-port)
printf 'canDevice = "%s"\ngpioDevice = "%s"\nserverPort = %s\npollTime = 1\n' \
  "$work/can.sock" "$work/gpio.sock" "$port" >"$work/hub.conf"
cap=$(setting AmbientCapabilities | sed 's/^CAP_//' | tr '[:upper:]' '[:lower:]')
(cd "$work" && exec env PATH="$work/bin:$PATH" strace -f -qq -o "$work/strace.log" setpriv --reuid "$user" \
  --regid "$user" --clear-groups --inh-caps "-all,+$cap" --ambient-caps "+$cap" --bounding-set "-all,+$cap" \
  --no-new-privs "$dest/usr/sbin/hub") >&"$hub_out" 2>&1 & pids+=($!)
await_fd "$dev_out" "$work/dev.log" "can  R result=0"
hub_pid=$(pgrep -P "${pids[-1]}")
pids=("$hub_pid" "${pids[@]}")

# The running hub: its user, no groups, CAP_NET_ADMIN (bit 12) alone and not
# effective (for its children only), no way up.
u=$(id -u "$user") g=$(id -g "$user") c=0000000000001000
seen=$(grep -P '^(Uid|Gid|Groups|Cap(Prm|Eff|Bnd|Amb)|NoNewPrivs):' "/proc/$hub_pid/status" | tr -s '\t\n' '  ')
[ "$seen" = "Uid: $u $u $u $u Gid: $g $g $g $g Groups: CapPrm: $c CapEff: 0000000000000000 CapBnd: $c CapAmb: $c NoNewPrivs: 1 " ] ||
  fail "the hub runs with $seen"

# The PC: once the CPU node has reported, a kV/mA change out, exam parameters in.
printf 'wait-unit 10000\nkvma 66 10\nwait-record EXAM_PARAM 10000\nclose\n' >"$work/pc.script"
"$build/tools/pcclient/hub-pcclient" --port "$port" --status 1 --wait 10000 --script "$work/pc.script" \
  </dev/null >"$work/pc.log" 2>&1 & pids+=($!)
pc_pid=$!
await_fd "$hub_out" "$work/hub.log" "Server: connect from host 127.0.0.1"
echo "23F#0102030405060102" >&"$dev_in"
await_fd "$dev_out" "$work/dev.log" "can0 287#12420A"
echo "217#03040352010201" >&"$dev_in"
await_fd "$dev_out" "$work/dev.log" "can0 287#1602"
wait "$pc_pid" || { cat "$work/pc.log" >&2; fail "the PC client failed"; }
unset 'pids[-1]'  # reaped
grep -q "^<- EXAM_PARAM .* Byte13=3 Byte14=4 .* ok$" "$work/pc.log" ||
  { cat "$work/pc.log" >&2; fail "the PC did not get the exam parameters"; }

# The CPU node's Ethernet order: ifconfig runs with CAP_NET_ADMIN and nothing else.
echo "247#C0000207FFFFFF00" >&"$dev_in"
await_fd "$hub_out" "$work/hub.log" "stand-in ifconfig:"
grep -qP '^stand-in ifconfig: eth0 192\.0\.2\.7 CapEff:\t0000000000001000$' "$work/hub.log" ||
  fail "ifconfig ran otherwise: $(tail -n 1 "$work/hub.log")"
kill -0 "$hub_pid" || fail "the hub died"

# What the hub and its ifconfig used, from the hub's start on, against the unit's filters.
names() {  # names GROUP...: the system calls in these groups, nested groups opened
  for n in $(systemd-analyze syscall-filter "$@" | awk '/^ +[@a-z]/ {print $1}'); do
    if [[ $n == @* ]]; then names "$n"; else echo "$n"; fi
  done
}
read -r -a allow <<<"$(setting SystemCallFilter | sed -n 1p)"
read -r -a deny <<<"$(setting SystemCallFilter | sed -n '2s/^~//p')"
read -r -a extra <<<"$(setting SystemCallFilter | sed -n '3,$p')"  # allowed back, one by one
sort -u <(comm -23 <(names "${allow[@]}" | sort -u) <(names "${deny[@]}" | sort -u)) \
  <(printf '%s\n' "${extra[@]}") >"$work/allowed"
awk '/execve\(".*\/sbin\/hub"/ {on = 1} on' "$work/strace.log" >"$work/hub.trace"
for call in "${extra[@]}"; do
  grep -qP "^\d+ +$call\(" "$work/hub.trace" || fail "the unit allows $call, which the hub never used"
done
refused=$(sed -nE 's/^[0-9]+ +([a-z0-9_]+)\(.*/\1/p' "$work/hub.trace" | sort -u | comm -23 - "$work/allowed")
[ -z "$refused" ] || fail "the unit's SystemCallFilter= refuses what the hub used:" $refused
for family in $(grep -oP '^\d+ +socket\(\K\w+' "$work/hub.trace" | sort -u); do
  [[ " $(setting RestrictAddressFamilies) " == *" $family "* ]] || fail "RestrictAddressFamilies= lacks $family"
done

echo "privilege: the installed unit within 2.5; the hub as $user with CAP_NET_ADMIN alone served the PC," \
     "relayed both ways and ran ifconfig with that capability (${SECONDS} s)"
