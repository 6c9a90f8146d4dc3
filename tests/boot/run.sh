#!/usr/bin/env bash
# Relocates boot.c's program for a qemu virt board and reads each container back with tools that
# share no code with pieshift, then boots it from the raw image, the Intel HEX and the ELF file; an
# image relocated for another address, loaded at ADDRESS, must fail.
#   run.sh PIESHIFT lld|gnu TARGET CFLAGS GNU_LD QEMU ADDRESS   (CFLAGS, GNU_LD, QEMU split at blanks)
set -uo pipefail
pieshift=$1 target=$3 cflags=$4 qemu=$6 address=$7 failed=0
linker=$([[ $2 == lld ]] && echo ld.lld || echo "$5")
for tool in clang "${linker%% *}" "${qemu%% *}" srec_cat llvm-readelf; do
  command -v "$tool" >/dev/null || { echo "$tool not found"; exit 77; }
done
here=$(cd "$(dirname "$0")" && pwd) dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir" || exit 1
fail() { echo "FAILED: $*"; failed=1; }
clang --target="$target" $cflags -ffreestanding -fno-builtin -nostdlib -fPIE -O1 -c "$here/boot.c" -o boot.o &&
  $linker -static -pie --no-dynamic-linker -z norelro --entry=boot_entry boot.o -o boot.elf || exit 1
for f in binary ihex elf; do
  "$pieshift" -v --include-readonly -O $f --output-entry entry -o img.$f "$address" boot.elf >log || exit 1
done
bias=$(awk '/^Load bias:/ { print $3 }' log) entry=$(cat entry)

# Read back: every container holds the raw image at ADDRESS, and the entry point.
srec_cat img.ihex -Intel -offset -"$address" -o back -binary && cmp back img.binary || fail srec_cat
for r in readelf llvm-readelf; do [[ -z $($r -a img.elf 2>&1 >/dev/null) ]] || fail "$r warns"; done

boot() {  # boot NAME pass|fail LOADERS...
  timeout 30 $qemu -nodefaults -display none -monitor none -serial stdio "${@:3}" >out 2>&1
  local got=$?
  echo "$1: $got, $(cat out)"
  [[ $2 == pass && $got == 0 && $(cat out) == *" ok" || $2 == fail && $got != 0 && $(cat out) == *WRONG* ]] || fail "$1"
}
boot raw pass -device loader,file=img.binary,addr="$address",force-raw=on -device loader,addr="$entry",cpu-num=0
# qemu 7.2 sign-extends the Intel HEX start address on 64-bit boards: a second loader sets the PC there.
pc=()
[[ $qemu == *64* && $((entry)) -ge $((0x80000000)) ]] && pc=(-device loader,addr="$entry",cpu-num=0)
boot ihex pass -device loader,file=img.ihex,cpu-num=0 "${pc[@]}"
boot elf pass -device loader,file=img.elf,cpu-num=0
"$pieshift" --include-readonly --output-entry entry -o other.binary $((address + 0x10000)) boot.elf || exit 1
boot other_address fail -device loader,file=other.binary,addr="$address",force-raw=on \
  -device loader,addr=$(($(cat entry) - 0x10000)),cpu-num=0
exit $failed
