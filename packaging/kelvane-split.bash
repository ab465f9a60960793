# bash completion for kelvane-split                        -*- shell-script -*-
#
# Everything offered comes from the program itself: the options from its
# --help, the output formats and the entries of each settings list from
# --list-entries, for the format named earlier on the same line.

# The --format value already on the line, without its quotes.
_kelvane_split_format()
{
    local i
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            --format=*) dequote "${words[i]#--format=}"; return ;;
            --format) ((i + 1 < cword)) && dequote "${words[i + 1]}"; return ;;
        esac
    done
}

# Completes the value of option $2 of program $1 with the entries it accepts.
_kelvane_split_entries()
{
    local format typed entry opened=""
    local -a entries
    format=$(_kelvane_split_format)
    mapfile -t entries < <("$1" ${format:+"--format=$format"} --list-entries "$2" 2>/dev/null)
    # Entries hold spaces, brackets and stars: inside an opened quote they go
    # in as they are, else escaped.
    if [[ $cur == [\"\']* ]]; then
        typed=${cur:1}
        opened=1
    else
        typed=$(dequote "$cur")
    fi
    COMPREPLY=()
    for entry in "${entries[@]}"; do
        [[ ${entry,,} == "${typed,,}"* ]] || continue
        if [[ $opened ]]; then
            COMPREPLY+=("$entry")
        else
            COMPREPLY+=("$(printf '%q' "$entry")")
        fi
    done
}

_kelvane_split()
{
    local cur prev words cword split
    _init_completion -s || return

    case $prev in
        --output-dir)
            _filedir -d
            return
            ;;
        --probe)
            _filedir
            return
            ;;
        --letterbox)
            COMPREPLY=($(compgen -W 'yes no' -- "$cur"))
            return
            ;;
        --*)
            # An option that takes a value: its entries, when it has a list.
            if [[ $("$1" --help 2>/dev/null) =~ [[:space:]]$prev\ [A-Z] ]]; then
                _kelvane_split_entries "$1" "$prev"
                return
            fi
            ;;
    esac
    $split && return

    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W '$(_parse_help "$1")' -- "$cur"))
        return
    fi
    _filedir
}
complete -F _kelvane_split kelvane-split
