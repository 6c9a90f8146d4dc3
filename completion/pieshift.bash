# bash completion for pieshift: options, -F styles, and file names for INPUT and for the options that
# take a FILE. The options are read from the program's own --help, so they follow the installed version.

# Fills _pieshift_args (option name -> argument name, empty for none) from "$1 --help", once per command.
_pieshift_read_help() {
    [[ ${_pieshift_cmd-} == "$1" ]] && return
    _pieshift_cmd=$1
    declare -gA _pieshift_args=()
    local line word arg names words
    while IFS= read -r line; do
        [[ $line == "  -"* ]] || continue  # "  -d, --define SYM=VAL", "  -v       be verbose"
        names=() arg=
        read -ra words <<<"$line"
        for word in "${words[@]}"; do
            case $word in
                -*) names+=("${word%,}") ;;
                [A-Z]*) arg=$word; break ;;
                *) break ;;
            esac
        done
        for word in "${names[@]}"; do _pieshift_args[$word]=$arg; done
    done < <("$1" --help 2>/dev/null)
}

_pieshift() {
    local cur=${COMP_WORDS[COMP_CWORD]} i=1 word letter n want=option operand=-1
    _pieshift_read_help "${COMP_WORDS[0]}"
    # Walk the words before the cursor as the program does: options first, each taking its argument
    # from the next unused word (-vo FILE, -df SYM=VAL FILE), then the operands ADDRESS and INPUT.
    while ((i < COMP_CWORD)); do
        word=${COMP_WORDS[i]}
        if [[ $word != -* ]]; then
            operand=$((COMP_CWORD - i))
            break
        fi
        local taking=()
        if [[ $word == --* ]]; then
            [[ -n ${_pieshift_args[$word]-} ]] && taking+=("${_pieshift_args[$word]}")
        else
            for ((n = 1; n < ${#word}; n++)); do
                letter=-${word:n:1}
                [[ -n ${_pieshift_args[$letter]-} ]] && taking+=("${_pieshift_args[$letter]}")
            done
        fi
        if ((COMP_CWORD - i <= ${#taking[@]})); then
            want=${taking[COMP_CWORD - i - 1]}
            break
        fi
        i=$((i + 1 + ${#taking[@]}))
    done
    COMPREPLY=()
    if ((operand == 1)) || [[ $want == FILE ]]; then
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
    elif [[ $want == STYLE:* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "field:1:2 field:2:1" -- "$cur")
    elif [[ $want == option && $operand -lt 0 && $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "${!_pieshift_args[*]}" -- "$cur")
    fi
}
complete -F _pieshift pieshift
