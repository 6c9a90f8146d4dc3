#!/usr/bin/env bash
# Runs a relocated image the way a board would: board.c becomes a small executable at a fixed address
# that also holds IMAGE at ADDRESS; it enters at board_start, calls ENTRY and exits with what that
# returns. Natively, or under the emulator that QEMU names (qemu-arm, ...); LLD names another linker
# (GNU ld where lld has no such machine: s390x-linux-gnu-ld).
#   board.sh TARGET DIR                          builds DIR/board.o, lists its symbols in DIR/board.sym
#   board.sh TARGET DIR IMAGE.img ADDRESS ENTRY  runs IMAGE.img, relocated to ADDRESS, from ENTRY
set -euo pipefail
target=$1 dir=$2
link() {  # link ADDRESS ENTRY [IMAGE]: one segment for the image, one for the board, both RWX
  printf 'PHDRS { image PT_LOAD FLAGS(7); board PT_LOAD FLAGS(7); }\nENTRY(board_start)\nSECTIONS {
  .image %s : { *.img(.data) } :image\n  image_entry = %s;
  .board 0x10000000 : { *(.text* .rodata* .data* .sdata* .bss* .sbss* COMMON) } :board\n}\n' "$1" "$2" >"$dir/board.ld"
  "${LLD:-ld.lld}" -T "$dir/board.ld" "$dir/board.o" ${3:+--format=binary "$3" --format=default} -o "$dir/board.elf"
}
if [[ $# -eq 2 ]]; then
  "${CLANG:-clang}" --target="$target" -ffreestanding -fno-builtin -nostdlib -fno-pic -O1 -mstackrealign \
    -c "$(dirname "$0")/board.c" -o "$dir/board.o"
  link 0 0
  "${NM:-llvm-nm}" "$dir/board.elf" | awk '$2 != "A" { print "0x" $1, $3 }' >"$dir/board.sym"
else
  link "$4" "$5" "$3"
  exec ${QEMU:-} "$dir/board.elf"
fi
