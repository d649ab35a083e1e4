#!/usr/bin/env bash
# The hub on vcan0 in a real kernel, can-utils as the CPU node and bus monitor:
# Debian's kernel in a throwaway VM (qemu TCG, microvm, a busybox initramfs)
# that mounts this machine's root read-only and runs this script (--guest).
# Each check prints "check NAME: ok" or "check NAME: FAIL".
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build}
source "$root/scripts/stages/lib/wait.sh"

# The CPU node: OP, version, date, test selection, both display lines, process data, exam parameters.
UNIT_FRAMES="00F# 237#0001000203 267#0007EA0C06050912 23F#0000000000000000 20F#1050414E4F202045
20F#2058303120202020 20F#302020 20F#9037306B56202038 20F#A06D41202041204D 20F#B02031 107# 217#010102BC010201"
# What the hub wrote and the PC received for the same frames on a device socket (hub-devsim),
# then the PC's kV/mA, exam and lock commands.
HUB_FRAMES="287#020001001B 287#1604 287#1600 287#1601 287#0002000000 287#1602 287#12420A 287#1102000300 287#1701"
PC_RECORDS='<- TEST_SEL    [                ] [                ] Byte13=0 Byte14=0 Word6=0 Word8=0 Word10=0 sum 6045 ok
<- LINE0       [PANO  EX01      ] [                ] sum C9B4 ok
<- LINE1       [PANO  EX01      ] [70kV  8mA  A M 1] sum 564B ok
<- EXAM_PARAM  [PANO  EX01      ] [70kV  8mA  A M 1] Byte13=1 Byte14=1 Word6=700 Byte15=1 Byte16=2 Byte17=1 sum 5B4C ok'

# The COUNT-th record other than a watchdog in the PC client's FILE.
await_records() { follow "$2" "$3" 1 awk -v n="$1" '$1 == "<-" && $2 != "WATCHDOG" && ++c >= n {f = 1; exit} END {exit !f}'; }
lines() { wc -l <"$1"; }
hub_frames() { grep -o ' 287#[0-9A-F]*' dump.log | tr -d ' ' | tr '\n' ' ' | sed 's/ $//'; }
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
record_types() { awk '$1 == "<-" && $2 != "WATCHDOG" {print $2}' "$1"; }
# The records a replayed unit log must give the PC, in order.
expected_types() {
  awk '{ split($3, f, "#"); id = f[1]; d = f[2]
         if (id == "23F") print "TEST_SEL"; else if (id == "217") print "EXAM_PARAM"
         else if (id == "21F") print "EXAM_STATUS"; else if (id == "20F" && d ~ /^3/) print "LINE0"
         else if (id == "20F" && d ~ /^B/) print "LINE1" }' "$1"
}
start_hub() {  # GPIO_DEVICE
  port=$("$pc" --free-port)
  printf 'verbose = true\ncanDevice = "vcan0"\ngpioDevice = "%s"\nserverPort = %s\n' "$1" "$port" >hub.conf
  "$build/hub" >hub.out 2>&1 &
  hub_pid=$!
  pids+=("$hub_pid")
}

guest() {
  set +e  # every check counts; none ends the run
  pc=$build/tools/pcclient/hub-pcclient
  unitsim=$build/tools/unitsim/hub-unitsim
  pids=()
  trap 'kill "${pids[@]}" 2>/dev/null || true' EXIT
  ip link set lo up
  cd "$(mktemp -d)"
  stdbuf -oL candump -L any >dump.log &  # "any": it outlives vcan0 being re-created
  pids+=($!)

  # 1. A hub started before its interface waits for it; cansend plays the CPU
  # node, hub-pcclient the PC, /dev/null the GPIO device.
  start_hub /dev/null
  mkfifo pc.in && exec 8<>pc.in
  printf 'wait-unit 30000\nwait-record EXAM_PARAM 30000\nkvma 66 10\nexam 2 3\nlock\n' >&8
  "$pc" --port "$port" --status 1 --wait 30000 --keep-running <pc.in >pc.out 2>&1 &
  pids+=($!)
  await 'Init SJA1000 = 1' hub.out 30
  ip link add vcan0 type vcan
  await 'Init SJA1000 = 1' hub.out 10 "$(($(lines hub.out) + 1))"
  check waits-while-absent-or-down test "$(grep -c 'Init SJA1000 = 0' hub.out)" = 0
  ip link set vcan0 up
  check comes-up-with-interface await 'Init SJA1000 = 0' hub.out 10
  await "Server: connect from" hub.out 30 && await 'Thread "can_rx_thread"' hub.out 30
  for frame in $UNIT_FRAMES; do cansend vcan0 "$frame"; done
  await '287#1701' dump.log 30 || true
  echo "--- cansend 217#010102BC010201, then the PC's record and commands:"
  grep -E ' (217|287)#' dump.log | tail -5 || true
  grep -E 'EXAM_PARAM|^->' pc.out | grep -v WATCHDOG
  grep -m1 'Id: 535' hub.out  # the hub's own trace of that frame
  check cansend-reaches-pc test "$(grep '^<- ' pc.out | grep -v WATCHDOG | head -4)" = "$PC_RECORDS"
  check hub-frames-as-on-device-socket test "$(hub_frames)" = "$HUB_FRAMES"
  check pc-commands-in-candump grep -q 'vcan0 287#12420A' dump.log

  # 2. A tx queue 4 frames deep at 15 frames/s (ENOBUFS): 25 commands all go out, in order.
  tc qdisc add dev vcan0 root tbf rate 2kbit burst 32 limit 64
  local from=$(lines dump.log) want=
  for kv in $(seq 40 64); do echo "kvma $kv 5" >&8; want+="287#12$(printf %02X "$kv")05 "; done
  await 'vcan0 287#124005' dump.log 20 "$from"
  check no-frame-lost-to-full-queue test "$(tail -n +"$from" dump.log | grep -o '287#12..05' | tr '\n' ' ')" = "$want"
  tc qdisc del dev vcan0 root

  # 3. Down and up with a command held, then re-created: no spin, the hub carries on.
  local ticks=$(cpu_ticks "$hub_pid")
  ip link set vcan0 down
  echo 'kvma 70 8' >&8
  await 'is down or absent' hub.out 10
  sleep 2  # a window to measure the hub's CPU time in while the interface is down
  from=$(lines dump.log)
  ip link set vcan0 up
  check frame-held-while-down await 'vcan0 287#124608' dump.log 10 "$from"
  ip link del vcan0 && ip link add vcan0 type vcan && ip link set vcan0 up
  check rebound-to-new-ifindex await 'bound again' hub.out 10
  from=$(lines dump.log)
  cansend vcan0 107#
  check answers-after-down-up await 'vcan0 287#0002' dump.log 10 "$from"
  ticks=$(($(cpu_ticks "$hub_pid") - ticks))
  echo "hub CPU time over the down/up and re-creation: $ticks ticks"
  check no-spin-while-down test "$ticks" -lt 50
  grep '^hub: ' hub.out || true
  kill "$hub_pid" "${pids[@]:2}" 2>/dev/null || true
  exec 8>&-

  # 4. The demo's session, with the simulated unit on vcan0.
  printf 'wait-hub 30000\nsleep 5000\nexam\n' >unit.script
  "$unitsim" --can vcan0 --gpio "$PWD/gpio.sock" --script unit.script --hide-pdm --keep-running --strict \
    </dev/null >unit.out 2>&1 &
  local unit_pid=$!
  pids+=("$unit_pid")
  await 'gpio listening' unit.out 10 || true
  start_hub "$PWD/gpio.sock"
  printf '%s\n' 'wait-unit 30000' 'exam 2 3' 'wait-record EXAM_PARAM' 'kvma 66 10' 'wait-record EXAM_PARAM' \
    'lock' 'wait-record EXAM_PARAM' 'time-start' 'wait-record DATE_TIME' 'wait-record EXAM_STATUS 10000' \
    'wait-record EXAM_STATUS' 'wait-record EXAM_STATUS' 'wait-record EXAM_STATUS' 'unlock' \
    'wait-record EXAM_PARAM' 'close' >pc.script
  "$pc" --port "$port" --status 1 --wait 30000 --script pc.script </dev/null >pc2.out 2>&1 &
  check demo-session-pc wait $!
  kill -TERM "$unit_pid" 2>/dev/null || true
  check demo-session-unit wait "$unit_pid"
  check demo-session-hub-alive kill -0 "$hub_pid"
  grep -E 'hub answers|hub command|exam status' unit.out || true

  # 5. canplayer replays the unit's log at its pace; every record reaches the PC, in order.
  grep -E '^\([0-9.]+\) vcan0 (00F|2..)#' unit.out >replay.log
  from=$(lines hub.out)
  "$pc" --port "$port" --status 1 --wait 30000 --keep-running </dev/null >pc3.out 2>&1 &
  pids+=($!)
  await "Server: connect from" hub.out 30 "$((from + 1))" || true
  canplayer -I replay.log
  await_records "$(expected_types replay.log | wc -l)" pc3.out 10 || true
  echo "replayed $(lines replay.log) frames; the PC got $(record_types pc3.out | wc -l) records"
  check canplayer-replay-in-order test "$(record_types pc3.out)" = "$(expected_types replay.log)"
  check replay-nonempty test -s replay.log
  [ "$failures" = 0 ] && echo "socketcan-vm: all checks passed" && return
  for f in *.out; do echo "--- $f" && tail -n 15 "$f"; done
}

if [ "${1:-}" = --guest ]; then
  guest
  exit
fi

started=$(date +%s)
"$root/scripts/install-deps.sh" qemu-system-x86 busybox-static can-utils cpio
"$root/scripts/build.sh" >/dev/null
source "$root/scripts/stages/lib/vm.sh"
vm_kernel
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
vm_modules initrd/m virtio_pci 9pnet_virtio 9p can_raw vcan sch_tbf kvaser_pci
# The checkout may lie under /tmp: the guest's scratch tmpfs goes to /dev/shm.
cat >initrd/init <<INIT
#!/bin/busybox sh
/bin/busybox --install -s /bin
for m in /m/*.ko; do insmod \$m; done
mkdir /host && mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose host /host
mount -t proc proc /host/proc && mount -t sysfs sys /host/sys && mount -t devtmpfs dev /host/dev
mkdir /host/dev/shm && mount -t tmpfs tmp /host/dev/shm && ln -s /proc/self/fd /host/dev/fd
TMPDIR=/dev/shm BUILD_DIR=$build chroot /host /bin/bash $root/scripts/stages/70-socketcan-vm.sh --guest
poweroff -f
INIT
chmod +x initrd/init
vm_initramfs initrd initrd.gz
vm_boot vm.log 170 -M pc -nic none -m 1024 -smp 2 -kernel "$VM_VMLINUZ" -initrd initrd.gz -append "console=ttyS0 quiet panic=-1" \
  -fsdev local,id=root,path=/,security_model=none,readonly=on,multidevs=remap -device virtio-9p-pci,fsdev=root,mount_tag=host \
  -object can-bus,id=canbus0 -device kvaser_pci,canbus=canbus0 -device kvaser_pci,canbus=canbus0
echo "socketcan-vm: $(($(date +%s) - started)) s"
vm_result vm.log socketcan-vm
