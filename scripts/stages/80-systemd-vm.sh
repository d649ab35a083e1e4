#!/usr/bin/env bash
# The hub installed as docs/packaging.md tells a user, under a real systemd:
# a Debian 12 image (mmdebstrap, cached in the build folder) booted with
# Debian's kernel under qemu; the GPIO device a real node (hub-cusegpio over
# hub-devsim's model), the CAN bus vcan0, eth0 a dummy interface. A unit in
# the image runs this script (--guest), which prints "check NAME: ok|FAIL".
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build}
PACKAGES=systemd,systemd-sysv,udev,iproute2,net-tools,libconfuse2,libfuse3-3,can-utils
PORT=60000 PC_ADDR=192.0.2.7  # the example's port; the address the CPU node gives eth0

pc() { hub-pcclient --port "$PORT" "$@" </dev/null; }  # exits when its script is done
served() { pc --wait "${2:-5000}" --host "$1" --script <(echo 'wait-record WATCHDOG 3000') | grep -q '^<- WATCHDOG'; }
# Still connecting after 3 s, and ended there by SIGTERM (124; a KILL 2 s later gives 137).
unreachable() { local s=0; timeout -k 2 3 hub-pcclient --port "$PORT" --host "$1" </dev/null >pc.out 2>&1 || s=$?; [ "$s" = 124 ] && ! grep -q '^<-' pc.out; }
hub_pid() { systemctl show -p MainPID --value hub; }
in_hub_ns() { nsenter -t "$(hub_pid)" -m "$@"; }
# The GPIO node, served from hub-devsim's model.
node_up() { hub-cusegpio --socket /run/hubsim/gpio.sock >cuse.out 2>&1 & cuse=$! && await ready cuse.out 10 && udevadm settle; }
# Root moved into the hub's cgroup opens the GPIO node but not the disk.
only_hub_devices() {
  local out=$(sh -c "echo \$\$ >$1/cgroup.procs && exec 3<>/dev/gpio && head -c1 /dev/vda" 2>&1 >/dev/null)
  echo "root in the hub's cgroup: ${out:-opened both}" && [[ $out == *vda*'Operation not permitted' ]]
}
# Once the CPU node has reported, the PC's kV/mA reaches the bus.
relays() { pc --host 127.0.0.1 --script <(printf 'wait-unit 5000\nkvma 66 10\nclose\n') >/dev/null && await '287#12420A' can.out 5; }
read_only() { ! in_hub_ns touch /etc/hub/probe && ! in_hub_ns touch /var/probe; }

guest() {
  set +e
  source /root/stage/wait.sh
  echo "systemd-vm: up after $(cut -d' ' -f1 /proc/uptime) s"
  cd /root/stage && PATH=/root/stage/destdir/usr/bin:$PATH
  ip link add vcan0 type vcan && ip link set vcan0 up && ip link add eth0 type dummy && ip link set eth0 up
  mkdir -p /run/hubsim && hub-devsim --can /run/hubsim/can.sock --gpio /run/hubsim/gpio.sock --keep-running \
    </dev/null >dev.out 2>&1 &
  await 'gpio listening' dev.out 10

  # The rule installed and read before the group exists: the node stays root's.
  install -p -D -m 0644 destdir/usr/lib/udev/rules.d/60-hub.rules /usr/lib/udev/rules.d/60-hub.rules
  udevadm control --reload && node_up && echo "gpio node before the user existed: $(stat -c %G /dev/gpio)"
  kill "$cuse" && wait "$cuse"; udevadm settle
  # The rest of the package, then the docs' steps; the node comes only after the start.
  cp -a destdir/. / && PATH=/usr/bin:$PATH
  systemd-sysusers
  systemctl restart systemd-udevd && udevadm trigger --settle
  mkdir -p /etc/hub /etc/systemd/system/hub.service.d
  sed -e 's/^canDevice = .*/canDevice = "vcan0"/' -e 's/^verbose = false/verbose = true/' \
    /usr/share/hub/hub.conf.example >/etc/hub/hub.conf
  printf '[Unit]\nBindsTo=dev-gpio.device\nAfter=dev-gpio.device\n' >/etc/systemd/system/hub.service.d/devices.conf
  systemctl daemon-reload && systemctl enable -q hub && systemctl start --no-block hub
  node_up
  check late-node-opened await 'gpio I request=' dev.out 20
  check node-group-hub test "$(stat -c %G:%a /dev/gpio)" = hub:660

  # Who it runs as; the CPU node's Ethernet order through the real ifconfig.
  local pid=$(hub_pid)
  check runs-as-hub test "$(stat -c %U "/proc/$pid")" = hub
  check hub-capeff-empty grep -qP '^CapEff:\t0{16}$' "/proc/$pid/status"
  ip -o monitor address >addr.out &
  cansend vcan0 247#C0000207FFFFFF00
  check ifconfig-sets-eth0 await "eth0 .*inet $PC_ADDR/24" addr.out 10
  echo "hub $(grep CapEff "/proc/$pid/status"); eth0 set by its ifconfig: $(ip -4 -o addr show eth0 | awk '{print $4}')"

  # Its devices and nothing else, even for root in its cgroup.
  check device-policy-in-cgroup only_hub_devices "/sys/fs/cgroup$(systemctl show -p ControlGroup --value hub)"

  # Files: nothing writable, a /tmp of its own, traces in the journal.
  check no-file-system-write read_only
  touch /tmp/outside && check private-tmp in_hub_ns sh -c 'test ! -e /tmp/outside && touch /tmp/inside'
  check traces-in-journal journalctl -q -u hub -t hub --grep 'Thread "tcp_server_thread"'

  # The PC: loopback served (the hub closes the session), another address not.
  candump -L vcan0 >can.out &
  cansend vcan0 23F#0102030405060102
  check pc-on-localhost-relays relays
  check pc-elsewhere-gets-nothing unreachable "$PC_ADDR"
  local t0=$(date +%s%N)
  systemctl restart hub
  check restart-listens-within-2s served 127.0.0.1 2000
  echo "restart after a closed session: a PC served $((($(date +%s%N) - t0) / 1000000)) ms after systemctl restart began"
  printf '[Service]\nIPAddressAllow=%s\n' "$PC_ADDR" >/etc/systemd/system/hub.service.d/override.conf
  systemctl daemon-reload && systemctl restart hub
  check pc-served-after-drop-in served "$PC_ADDR"

  local score=$(systemd-analyze security hub | sed -n 's/.*Overall exposure level for hub.service: \([0-9.]*\).*/\1/p')
  echo "systemd-analyze security hub: $score"
  check exposure-at-most-2.0 awk -v s="$score" 'BEGIN {exit !(s != "" && s <= 2.0)}'
  check nothing-on-stderr sh -c '! journalctl -q -u hub --grep "^hub: cannot"'
  echo "systemd-vm: checks done after $(cut -d' ' -f1 /proc/uptime) s"
  [ "$failures" = 0 ] && echo "systemd-vm: all checks passed" && return
  journalctl -u hub -n 30 --no-pager; tail -n 5 ./*.out
}

if [ "${1:-}" = --guest ]; then
  guest
  exit
fi

started=$(date +%s)
"$root/scripts/install-deps.sh" qemu-system-x86 busybox-static cpio mmdebstrap e2fsprogs libfuse3-dev
"$root/scripts/build.sh" >/dev/null
source "$root/scripts/stages/lib/vm.sh"
vm_kernel
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# The image, made once per package list.
image=$build/vm-cache/systemd-$(echo "$PACKAGES" | md5sum | cut -c1-8).ext4
if [ ! -f "$image" ]; then
  mmdebstrap --quiet --variant=minbase --include="$PACKAGES" bookworm rootfs
  mke2fs -q -t ext4 -d rootfs "$image.part" 1G && mv "$image.part" "$image" && rm -rf rootfs
fi
echo "systemd-vm: image ready ($(($(date +%s) - started)) s)"

# The initramfs loads the modules, mounts the image, adds the stage and a unit
# that runs it, and hands over to systemd.
DESTDIR=initrd/stage/destdir cmake --install "$build" --prefix /usr >/dev/null
cp "$root/scripts/stages/80-systemd-vm.sh" "$root/scripts/stages/lib/wait.sh" initrd/stage/
vm_modules initrd/m virtio_pci virtio_blk crc32c_generic ext4 cuse vcan can_raw dummy
cat >initrd/init <<'INIT'
#!/bin/busybox sh
/bin/busybox --install -s /bin
mkdir -p /proc /sys /dev && mount -t proc proc /proc && mount -t sysfs sys /sys && mount -t devtmpfs dev /dev
for m in /m/*.ko; do insmod $m 2>/dev/null; done
for i in $(seq 100); do [ -b /dev/vda ] && break; usleep 100000; done
mkdir /new && mount -t ext4 /dev/vda /new && cp -a /stage /new/root/stage
cat >/new/etc/systemd/system/hub-check.service <<UNIT
[Unit]
After=multi-user.target
SuccessAction=poweroff-force
FailureAction=poweroff-force
[Service]
Type=oneshot
ExecStart=/bin/bash /root/stage/80-systemd-vm.sh --guest
StandardOutput=tty
StandardError=tty
TTYPath=/dev/ttyS0
UNIT
mkdir -p /new/etc/systemd/system/multi-user.target.wants
ln -s ../hub-check.service /new/etc/systemd/system/multi-user.target.wants/
umount /proc /sys /dev
exec switch_root /new /sbin/init
INIT
chmod +x initrd/init
vm_initramfs initrd initrd.gz
vm_boot vm.log 300 -M q35 -nic none -m 1024 -smp 2 -kernel "$VM_VMLINUZ" -initrd initrd.gz \
  -append "console=ttyS0 quiet panic=-1 systemd.show_status=0 systemd.firstboot=0 systemd.mask=serial-getty@ttyS0.service" \
  -drive "file=$image,format=raw,if=virtio,snapshot=on"
echo "systemd-vm: $(($(date +%s) - started)) s"
vm_result vm.log systemd-vm
