#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Makes what the UART and USB adapter tests boot: Debian's kernel unpacked, so
# that the emulator need not decompress it, and an initramfs holding busybox,
# the guest's init and the prelude it sources, the tool, exactly the shared libraries the tool needs, and
# the kernel's modules named (with what they depend on, in loading order, in
# /modules, which the guest's init loads).
#   make-guest.sh OUT_DIR TOOL GUEST_INIT [MODULE...]
set -euo pipefail
out=$1 tool=$2 init=$3
shift 3
mkdir -p "$out"

kernel=$(ls /boot/vmlinuz-* 2>/dev/null | sort -V | tail -n 1)
[ -n "$kernel" ] || { echo "make-guest.sh: no kernel in /boot (package linux-image-amd64)" >&2; exit 1; }
if [ ! -s "$out/vmlinux" ] || [ "$kernel" -nt "$out/vmlinux" ]; then
    # The bzImage holds the kernel as an ELF file compressed with xz; the emulator boots that ELF directly.
    offset=$(LC_ALL=C grep -obUaP '\xFD7zXZ' "$kernel" | head -n 1 | cut -d: -f1 || true)
    tail -c +$((offset + 1)) "$kernel" | xz -dcq > "$out/vmlinux.new" 2>/dev/null || true
    head -c 4 "$out/vmlinux.new" | grep -q ELF || { echo "make-guest.sh: cannot unpack $kernel" >&2; exit 1; }
    mv "$out/vmlinux.new" "$out/vmlinux"
fi

root="$out/root"
rm -rf "$root"
mkdir -p "$root"/{bin,dev,proc,sys,tmp,root,var/lock,run/lock}
cp /bin/busybox "$root/bin/busybox"
cp "$tool" "$root/bin/kelvra-netmon"
cp "$init" "$root/init"
cp "$(dirname "$0")/prelude.sh" "$root/prelude.sh"
chmod 755 "$root/init"
ldd "$tool" | awk '/=> \// { print $3 } /^\t\// { print $1 }' | while read -r library; do
    mkdir -p "$root$(dirname "$library")"
    cp -L "$library" "$root$library"
done
if [ $# -gt 0 ]; then
    version=${kernel#/boot/vmlinuz-}
    mkdir -p "$root/modules"
    number=10
    # modprobe names each module after those it needs; the first time a file is named is its place.
    for module in "$@"; do modprobe -S "$version" --show-depends "$module"; done |
        awk '$1 == "insmod" && !seen[$2]++ { print $2 }' |
        while read -r module; do
            case $module in
            *.ko) cp "$module" "$root/modules/$number-$(basename "$module")" ;;
            *.ko.xz) xz -dc "$module" >"$root/modules/$number-$(basename "$module" .xz)" ;;
            *) echo "make-guest.sh: cannot load $module" >&2; exit 1 ;;
            esac
            number=$((number + 1))
        done
fi
(cd "$root" && find . | cpio -o -H newc --quiet) > "$out/initramfs.cpio"
