# The plumbing of the VM stages, sourced: Debian's kernel fetched once, a module
# closure for a busybox initramfs, a qemu boot and its verdict.

# Debian's kernel (linux-image-amd64's) extracted once into CACHE_DIR; sets VM_KVER,
# VM_VMLINUZ and VM_MODDIR (all its modules).
vm_kernel() {  # [CACHE_DIR]
  local cache=${1:-$build/vm-cache}
  ls "$cache"/kernel/boot/vmlinuz-* >/dev/null 2>&1 || (
    set -e
    rm -rf "$cache/deb" "$cache/part" && mkdir -p "$cache/deb" && cd "$cache/deb"
    apt-get download -q linux-image-amd64 2>/dev/null || { apt-get update -qq && apt-get download -q linux-image-amd64; }
    apt-get download -q "$(dpkg-deb -f linux-image-amd64_*.deb Depends | sed 's/[ ,].*//')" 2>/dev/null
    dpkg-deb -x linux-image-[0-9]*.deb ../part && mv ../part ../kernel && rm -rf ../deb
  ) >/dev/null || return 1
  VM_VMLINUZ=$(ls "$cache"/kernel/boot/vmlinuz-*) && VM_KVER=${VM_VMLINUZ##*/vmlinuz-}
  VM_MODDIR=$cache/kernel/lib/modules/$VM_KVER
}

# MODULE... and all they depend on (each one's .modinfo "depends=": the .deb has
# no modules.dep), decompressed, as DEST/NN-name.ko in load order.
vm_modules() {  # DEST MODULE...
  local ko m
  declare -gA vm_path=() vm_done=() && vm_n=10
  for ko in $(find "$VM_MODDIR" -name '*.ko*'); do m=${ko##*/} && vm_path[${m%%.ko*}]=$ko; done
  mkdir -p "$1" && for m in "${@:2}"; do vm_add "$1" "$m" || return 1; done
}
vm_add() {  # DEST NAME: NAME after its dependencies ("-" and "_" alike, as modprobe has them)
  local m=${2//_/-} dep
  [ -n "${vm_path[$m]:-}" ] || m=${2//-/_}
  [ -n "${vm_path[$m]:-}" ] || { echo "vm: no module $2 in $VM_MODDIR" >&2; return 1; }
  [ -z "${vm_done[$m]:-}" ] || return 0
  vm_done[$m]=1
  case ${vm_path[$m]} in *.xz) xz -dc ;; *.zst) zstd -qdc ;; *) cat ;; esac <"${vm_path[$m]}" >"$1/$m.tmp"
  for dep in $(tr '\0' '\n' <"$1/$m.tmp" | sed -n 's/^depends=//p' | tr ',' ' '); do vm_add "$1" "$dep" || return 1; done
  mv "$1/$m.tmp" "$1/$((vm_n++))-$m.ko"
}

# A busybox initramfs (newc cpio, gzip) of DIR, with DIR/bin/busybox added and DIR/init made executable.
vm_initramfs() {  # DIR OUT
  mkdir -p "$1/bin" && cp /bin/busybox "$1/bin/" && chmod +x "$1/init" && (cd "$1" && find . | cpio -o -H newc --quiet) | gzip -1 >"$2"
}

# qemu (TCG: this machine's nested KVM hangs the guest) with QEMU_ARGS for at most
# TIMEOUT seconds; its console, carriage returns stripped, on stdout and in LOG.
vm_boot() {  # LOG TIMEOUT QEMU_ARGS...
  timeout "$2" qemu-system-x86_64 -nographic -no-reboot "${@:3}" </dev/null | tr -d '\r' | tee "$1" ||
    echo "vm: no end within $2 s" | tee -a "$1"
}

# Passes when the guest said "NAME: all checks passed" and no "check ...: FAIL".
vm_result() { grep -q "^$2: all checks passed" "$1" && ! grep -q '^check .*: FAIL' "$1"; }  # LOG NAME
