# The plumbing the VM stages share, sourced: Debian's kernel fetched once into the
# build folder, a module closure for a busybox initramfs, a qemu boot, its verdict.
# The guest prints "check NAME: ok|FAIL" and "NAME: all checks passed" on its console.

# Debian's kernel (the one linux-image-amd64 depends on) in CACHE_DIR, fetched and
# extracted once; sets VM_KVER, VM_VMLINUZ and VM_MODDIR (every module of it).
vm_kernel() {  # [CACHE_DIR]
  local cache=${1:-$build/vm-cache} deb
  ls "$cache"/kernel/boot/vmlinuz-* >/dev/null 2>&1 || (
    set -e
    rm -rf "$cache" && mkdir -p "$cache/deb" && cd "$cache/deb"
    apt-get download -q linux-image-amd64 2>/dev/null || { apt-get update -qq && apt-get download -q linux-image-amd64; }
    deb=$(dpkg-deb -f linux-image-amd64_*.deb Depends | sed 's/[ ,].*//')
    apt-get download -q "$deb" 2>/dev/null && dpkg-deb -x "$deb"_*.deb ../part && mv ../part ../kernel
    cd .. && rm -rf deb
  ) >/dev/null || return 1
  VM_VMLINUZ=$(ls "$cache"/kernel/boot/vmlinuz-*)
  VM_KVER=${VM_VMLINUZ##*/vmlinuz-}
  VM_MODDIR=$cache/kernel/lib/modules/$VM_KVER
}

# The named modules and all they depend on (the .deb has no modules.dep: each
# module's .modinfo "depends="), decompressed, as DEST/NN-name.ko in load order.
vm_modules() {  # DEST MODULE...
  local dest=$1 ko name
  shift
  declare -gA vm_path=() vm_done=()
  for ko in $(find "$VM_MODDIR" -name '*.ko*'); do name=${ko##*/} && vm_path[${name%%.ko*}]=$ko; done
  mkdir -p "$dest" && vm_n=10
  for name in "$@"; do vm_add "$dest" "$name" || return 1; done
}
vm_add() {  # DEST NAME: NAME after its dependencies
  local name=${2//_/-} ko dep
  [ -z "${vm_path[$name]:-}" ] && name=${2//-/_}
  ko=${vm_path[$name]:-}
  [ -n "$ko" ] || { echo "vm: no module $2 in $VM_MODDIR" >&2; return 1; }
  [ -z "${vm_done[$name]:-}" ] || return 0
  vm_done[$name]=1
  case $ko in *.xz) xz -dc "$ko" ;; *.zst) zstd -qdc "$ko" ;; *) cat "$ko" ;; esac >"$1/$name.tmp"
  for dep in $(tr '\0' '\n' <"$1/$name.tmp" | sed -n 's/^depends=//p' | tr ',' ' '); do vm_add "$1" "$dep" || return 1; done
  mv "$1/$name.tmp" "$1/$vm_n-$name.ko"
  vm_n=$((vm_n + 1))
}

# A busybox initramfs (newc cpio, gzip) of DIR, with DIR/bin/busybox added.
vm_initramfs() {  # DIR OUT
  mkdir -p "$1/bin" && cp /bin/busybox "$1/bin/" && (cd "$1" && find . | cpio -o -H newc --quiet) | gzip -1 >"$2"
}

# qemu with QEMU_ARGS for at most TIMEOUT seconds, its console (carriage returns
# stripped) on stdout and in LOG (TCG: nested KVM here hangs the guest).
vm_boot() {  # LOG TIMEOUT QEMU_ARGS...
  local log=$1 seconds=$2
  shift 2
  timeout "$seconds" qemu-system-x86_64 -nographic -no-reboot "$@" </dev/null |
    tr -d '\r' | tee "$log" || echo "vm: no end within $seconds s" | tee -a "$log"
}

# Passes when the guest said "NAME: all checks passed" and no check failed.
vm_result() {  # LOG NAME
  grep -q "^$2: all checks passed" "$1" && ! grep -q '^check .*: FAIL' "$1"
}
