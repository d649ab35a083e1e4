#!/usr/bin/env bash
# The hub on a real kernel's CAN: Debian's kernel in a throwaway qemu PC mounts this machine's
# root read-only and runs this script (--guest). The hub meets vcan0, can-utils playing the CPU
# node and bus monitor, then two emulated SJA1000 controllers on one wire (kvaser_pci).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build}
source "$root/scripts/stages/lib/wait.sh"

# The CPU node: OP, version, date, test selection, both display lines, process data, exam parameters.
UNIT_FRAMES="00F# 237#0001000203 267#0007EA0C06050912 23F#0000000000000000 20F#1050414E4F202045
20F#2058303120202020 20F#302020 20F#9037306B56202038 20F#A06D41202041204D 20F#B02031 107# 217#010102BC010201"
# What the hub wrote and the PC got for them on a device socket; then the PC's kV/mA, exam and lock
# (each stream in order; the last acknowledgement and the PC's first command may pass each other).
HUB_FRAMES="287#020001001B 287#1604 287#1600 287#1601 287#0002000000 287#1602|287#12420A 287#1102000300 287#1701"
PC_RECORD='<- EXAM_PARAM  [PANO  EX01      ] [70kV  8mA  A M 1] Byte13=1 Byte14=1 Word6=700 Byte15=1 Byte16=2 Byte17=1 sum 5B4C ok'

# The COUNT-th record other than a watchdog in the PC client's FILE.
await_records() { follow "$2" "$3" 1 awk -v n="$1" '$1 == "<-" && $2 != "WATCHDOG" && ++c >= n {f = 1; exit} END {exit !f}'; }
record_types() { awk '$1 == "<-" && $2 != "WATCHDOG" {print $2}' "$1"; }
lines() { wc -l <"$1"; }
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
start_hub() {  # INTERFACE GPIO_DEVICE
  port=$("$pc" --free-port)
  printf 'verbose = true\ncanDevice = "%s"\ngpioDevice = "%s"\nserverPort = %s\n' "$1" "$2" "$port" >hub.conf
  "$build/hub" >hub.out 2>&1 & hub_pid=$! && pids+=("$hub_pid")
}

guest() {
  set +e  # every check counts; none ends the run
  pc=$build/tools/pcclient/hub-pcclient unitsim=$build/tools/unitsim/hub-unitsim
  pids=()
  trap 'kill "${pids[@]}" 2>/dev/null || true' EXIT
  ip link set lo up
  cd "$(mktemp -d)"
  stdbuf -oL candump -L any >dump.log & pids+=($!)  # "any": it outlives vcan0 being re-created

  # 1. A hub started before its interface waits for it; cansend is the CPU node, /dev/null the GPIO device.
  start_hub vcan0 /dev/null
  mkfifo pc.in && exec 8<>pc.in
  printf 'wait-unit 30000\nwait-record EXAM_PARAM 30000\nkvma 66 10\nexam 2 3\nlock\n' >&8
  "$pc" --port "$port" --status 1 --wait 30000 --keep-running <pc.in >pc.out 2>&1 & pids+=($!)
  check says-no-such-interface await 'vcan0: no such interface (see `ip link`)' hub.out 30
  ip link add vcan0 type vcan
  check says-down-and-the-fix await 'vcan0: down; bring it up with: ip link set vcan0 up type can bitrate' hub.out 10
  ip link set vcan0 up
  check comes-up-with-interface await 'Init SJA1000 = 0' hub.out 10
  await "Server: connect from" hub.out 30 && await 'Thread "can_rx_thread"' hub.out 30
  for frame in $UNIT_FRAMES; do cansend vcan0 "$frame"; done
  await '287#1701' dump.log 30
  check cansend-reaches-pc grep -qxF "$PC_RECORD" pc.out
  local sent=$(grep -o ' 287#[0-9A-F]*' dump.log | tr -d ' ')
  sent="$(grep -v '^287#1[127]' <<<"$sent" | paste -sd' ')|$(grep '^287#1[127]' <<<"$sent" | paste -sd' ')"
  echo "hub frames on vcan0: $sent"
  check hub-frames-as-on-device-socket test "$sent" = "$HUB_FRAMES"
  check pc-commands-in-candump grep -q 'vcan0 287#12420A' dump.log
  # Extended and remote frames are no node's: neither dispatched nor passed on (the test selection after them is).
  local n=$(record_types pc.out | wc -l) seen=$(grep -c 'Id: 535' hub.out)
  cansend vcan0 00000217#010102BC010201 && cansend vcan0 217#R && cansend vcan0 23F#0000000000000000
  await_records $((n + 1)) pc.out 10
  check extended-and-remote-ignored test "$(record_types pc.out | tail -n +$((n + 1)))/$(grep -c 'Id: 535' hub.out)" = "TEST_SEL/$seen"

  # 2. A tx queue 1 frame deep at 31 frames/s (ENOBUFS): 12 commands all go out, in order, within 1 s.
  tc qdisc add dev vcan0 root tbf rate 4kbit burst 16 limit 16
  local from=$(lines dump.log) want=
  printf 'kvma %s 5\n' $(seq 40 51) >&8  # in one write, so they reach the queue back to back
  for kv in $(seq 40 51); do want+="287#12$(printf %02X "$kv")05 "; done
  await 'vcan0 287#123305' dump.log 20 "$from"
  check no-frame-lost-to-full-queue test "$(tail -n +"$from" dump.log | grep -o '287#12..05' | tr '\n' ' ')" = "$want"
  check tx-queue-was-full test "$(tc -s qdisc show dev vcan0 | grep -o 'dropped [0-9]*')" != "dropped 0"
  tc qdisc del dev vcan0 root

  # 3. Down for 2 s with a command waiting, then re-created: no spin, the command dropped (over 1 s old).
  local ticks=$(cpu_ticks "$hub_pid") from=$(lines hub.out)
  ip link set vcan0 down
  echo 'kvma 70 8' >&8
  await 'vcan0: down' hub.out 10 "$from"
  sleep 2  # a window to measure the hub's CPU time in while the interface is down
  ip link set vcan0 up && ip link del vcan0 && ip link add vcan0 type vcan && ip link set vcan0 up
  check rebound-to-new-ifindex await 'bound again' hub.out 10
  from=$(lines dump.log)
  cansend vcan0 107#
  check answers-after-down-up await 'vcan0 287#0002' dump.log 10 "$from"
  check held-frame-dropped-after-1s test "$(grep -c '287#124608' dump.log)" = 0
  ticks=$(($(cpu_ticks "$hub_pid") - ticks))
  echo "hub CPU time over the down/up and re-creation: $ticks ticks"
  check no-spin-while-down test "$ticks" -lt 50

  # 4. Bus states no emulated controller reaches, each said once: error frames as the kernel delivers them.
  echo "injected on vcan0 as error frames, not produced by a controller: no ACK, error-passive, bus-off, restarted"
  from=$(lines hub.out)
  while read -r name frame text; do
    cansend vcan0 "$frame" && check "$name" await "$text" hub.out 10 "$from"
  done <<'STATES'
injected-no-ack 20000020#0000000000000000 vcan0: no node acknowledges (is the CPU node
injected-error-passive 20000004#0010000000000000 vcan0: error-passive
injected-bus-off 20000040#0000000000000000 vcan0: bus-off
injected-bus-off-again 20000040#0000000000000000 vcan0: bus-off
injected-restarted 20000100#0000000000000000 vcan0: restarted, sending again
STATES
  check bus-off-said-once test "$(grep -c 'vcan0: bus-off' hub.out)" = 1
  check only-the-interface-says-its-faults test "$(grep -c 'CAN device reports\|CAN device is back' hub.out)" = 0
  grep '^hub: ' hub.out
  kill "$hub_pid" "${pids[@]:2}" 2>/dev/null || true

  # 5. Two SJA1000 controllers on one emulated wire, set up as the README says: the demo's session.
  for i in can0 can1; do ip link set $i type can bitrate 1000000 restart-ms 100 && ip link set $i up; done
  ip -details link show can0 | grep -E 'state|bitrate'
  printf 'wait-hub 30000\nsleep 5000\nexam\n' >unit.script
  "$unitsim" --can can1 --gpio "$PWD/gpio.sock" --script unit.script --hide-pdm --keep-running --strict \
    </dev/null >unit.out 2>&1 & pids+=($!) && local unit_pid=$!
  await 'gpio listening' unit.out 10
  start_hub can0 "$PWD/gpio.sock"
  printf 'wait-unit 30000\nexam 2 3\n%s\nkvma 66 10\n%s\nlock\n%s\ntime-start\nwait-record DATE_TIME\n%s\n' \
    'wait-record EXAM_PARAM' 'wait-record EXAM_PARAM' 'wait-record EXAM_PARAM' 'wait-record EXAM_STATUS 10000' >pc.script
  printf '%s\n' 'wait-record EXAM_STATUS' 'wait-record EXAM_STATUS' 'wait-record EXAM_STATUS' unlock 'wait-record EXAM_PARAM' 'kvma 77 7' >>pc.script
  "$pc" --port "$port" --status 1 --wait 30000 --script pc.script --keep-running <pc.in >pc2.out 2>&1 & pids+=($!)
  check sja1000-demo-session await 'can1 287#124D07' dump.log 60
  kill -TERM "$unit_pid"
  check sja1000-demo-session-unit wait "$unit_pid"

  # 6. Both controllers off for over 1 s while the PC sends kV/mA: none of it reaches can1 afterwards.
  ip link set can1 down && ip link set can0 down
  for kv in 81 82 83 84 85; do echo "kvma $kv 5" >&8; done
  await 'can0: down' hub.out 10 && sleep 1.5  # the outage itself
  ip link set can1 up && ip link set can0 up && echo 'kvma 90 5' >&8
  await 'can1 287#125A05' dump.log 10
  check nothing-stale-after-outage test "$(grep -c 'can1 287#125[1-5]05' dump.log)" = 0
  check outage-drops-said await 'frames older than 1 s dropped while the bus was down' hub.out 10
  grep '^hub: ' hub.out
  [ "$failures" = 0 ] && echo "socketcan-vm: all checks passed" && return
  for f in *.out; do echo "--- $f" && tail -n 15 "$f"; done
}

[ "${1:-}" = --guest ] && { guest; exit; }

"$root/scripts/install-deps.sh" qemu-system-x86 busybox-static can-utils cpio
"$root/scripts/build.sh" >/dev/null
source "$root/scripts/stages/lib/vm.sh"
vm_kernel
work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT && cd "$work"
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
vm_initramfs initrd initrd.gz
vm_boot vm.log 170 -M pc -nic none -m 1024 -smp 2 -kernel "$VM_VMLINUZ" -initrd initrd.gz -append "console=ttyS0 quiet panic=-1" \
  -fsdev local,id=root,path=/,security_model=none,readonly=on,multidevs=remap -device virtio-9p-pci,fsdev=root,mount_tag=host \
  -object can-bus,id=canbus0 -device kvaser_pci,canbus=canbus0 -device kvaser_pci,canbus=canbus0
vm_result vm.log socketcan-vm
