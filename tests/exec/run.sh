#!/usr/bin/env bash
# Relocates prog.c's program away from its link address and runs the ELF output as it is (readelf
# reading it without a warning): with --include-readonly it must pass. On examples/board.sh, which
# loads a raw image at ADDRESS: relocated for another ADDRESS, it must fail; its -z undefs variant
# must pass with the board's symbols given by -f and -d.
#   run.sh PIESHIFT lld|gnu MACHINE TARGET GNU_LD QEMU [BOARD_LD]   (QEMU "env" runs natively)
# GNU_LD may carry options after commas (riscv64-linux-gnu-ld,-m,elf32lriscv); BOARD_LD links the
# board where lld has no such machine.
set -uo pipefail
pieshift=$1 target=$4 linker=$([[ $2 == lld ]] && echo ld.lld || echo "${5//,/ }") failed=0
[[ $2 == lld && -n ${7:-} ]] && exit 77  # lld cannot link this machine
export QEMU=$6 LLD=${7:-ld.lld}
here=$(cd "$(dirname "$0")" && pwd) dir=$(mktemp -d) address=0x20000000
trap 'rm -rf "$dir"' EXIT
cd "$dir" || exit 1
board=$here/../../examples/board.sh
"$board" "$target" "$dir" || exit 1
build() {  # build LDFLAGS CFLAGS...
  clang --target="$target" -ffreestanding -fno-builtin -nostdlib -fPIE -O1 -fno-unwind-tables \
    -fno-asynchronous-unwind-tables "${@:2}" -c "$here/prog.c" -o prog.o &&
    $linker -static -pie --no-dynamic-linker -z norelro --entry=exit_start prog.o $1 -o prog.elf
}
# expect NAME STATUS WARNINGS OFFSET OPTIONS...: relocates to address + OFFSET, runs at address
expect() {
  local name=$1 want=$2 warnings=$3 offset=$4; shift 4
  "$pieshift" "$@" --output-entry entry -o prog.img $((address + offset)) prog.elf 2>err
  local tool=$? warned=$(grep -c '^WARNING: .*\[\.rodata\]' err)
  if [[ " $* " == *" -O elf "* ]]; then
    ((tool == 0)) && [[ -z $(readelf -a prog.img 2>&1 >/dev/null) ]] && chmod +x prog.img &&
      ${QEMU/#env/} ./prog.img 2>>err
  else
    ((tool == 0)) && "$board" "$target" "$dir" prog.img $address $(($(cat entry) - offset)) 2>>err
  fi
  local got=$?
  echo "$name: $tool, $warned, $got"
  [[ $tool == 0 && $warned == "$warnings" && ($want == fail && $got != 0 || $got == "$want") ]] ||
    { failed=1; cat err; }
}
build "" || exit 1
# MIPS PIC code finds its GOT through $t9, which the system does not set at the entry point: there
# the board, which calls the entry as a function, runs the raw image instead.
elf=$([[ $target == mips* ]] || echo "-O elf")
expect include_readonly 0 0 0 --include-readonly $elf
expect wrong_address fail 0 0x10000 --include-readonly
# GNU ld resolves an executable's undefined symbols to 0 unless they are exported as dynamic ones.
build "-z undefs --export-dynamic" -DUNDEFS || exit 1
counter=$(awk '$2 == "board_counter" { print $2 "=" $1 }' board.sym)
expect undefs 0 0 0 --include-readonly -f board.sym -d "$counter"
exit $failed
