#!/usr/bin/env bash
# The bash completion against the built program: each row is the words up to the cursor (the last one
# is completed, "" for a new word) and the sorted candidates expected, in a directory of two files.
#   completion.sh COMPLETION_FILE PIESHIFT
set -uo pipefail
source "$1"
bin=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
dir=$(mktemp -d) && trap 'rm -rf "$dir"' EXIT && cd "$dir" && touch in.elf out.img
fails=0
row() {  # row EXPECTED WORD...
    local want=$1; shift
    COMP_WORDS=("$bin" "$@") COMP_CWORD=$# COMPREPLY=()
    _pieshift 2>/dev/null
    local have; have=$(printf '%s\n' "${COMPREPLY[@]}" | sort | xargs)
    [[ $have == "$want" ]] || { echo "FAIL: pieshift $*| want [$want] have [$have]"; fails=1; }
}
row "--symfile --symfile-format" --symf
row "field:1:2 field:2:1" -F ""
row "field:2:1" -vF field:2
row "out.img" -vo o
row "in.elf out.img" -df A=1 ""
row "" -df ""
row "in.elf out.img" --output-entry ""
row "" -o x.img ""
row "in.elf" -o x.img 0x80000000 i
row "" 0x80000000 in.elf ""
row "" 0x80000000 in.elf -
# Every option of --help, short and long, is offered.
row "$("$bin" --help | grep -E '^  -' | grep -oE -- '(^|[ ,])-(-[a-z-]+|[a-zA-Z])' | tr -d ' ,' | sort | xargs)" -
exit $fails
