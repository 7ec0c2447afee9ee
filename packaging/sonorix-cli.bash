# bash completion for sonorix-cli
#
# Commands, their options and the settings are read from the program's own help texts, and group
# titles from 'sonorix-cli groups' over the library and data folder named so far on the line, so
# that this file never lists what the program may change.

# Runs sonorix-cli in English with the global options given so far.
_sonorix_cli_ask() {
    LANGUAGE= LC_ALL=C.UTF-8 timeout 10 "${_sonorix_cli_program:-sonorix-cli}" \
        "${_sonorix_cli_globals[@]}" "$@" 2>/dev/null
}

# Adds the words given that start with $cur, quoted for the shell.
_sonorix_cli_add() {
    local word
    for word; do
        [[ -n $word && $word == "$cur"* ]] && COMPREPLY+=("$(printf '%q' "$word")")
    done
}

# The same for the words on standard input, one a line. Called with "< <(...)" rather than at the
# end of a pipe, which would run it in a subshell whose COMPREPLY is lost.
_sonorix_cli_add_lines() {
    local lines
    mapfile -t lines
    _sonorix_cli_add "${lines[@]}"
}

_sonorix_cli() {
    local cur prev words cword
    _init_completion || return

    _sonorix_cli_program=${words[0]}
    _sonorix_cli_globals=()
    local command="" i value
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
        --library | --data-dir | --language)
            if ((i + 1 < cword)); then
                value=${words[i + 1]}
                [[ $value == "~"/* ]] && value=$HOME/${value#"~/"}
                _sonorix_cli_globals+=("${words[i]}" "$value")
            fi
            ((i++))
            ;;
        -*) ;;
        *)
            [[ -z $command ]] && command=${words[i]}
            ;;
        esac
    done

    case $prev in
    --library)
        _filedir xml
        return
        ;;
    --data-dir)
        _filedir -d
        return
        ;;
    --language)
        _sonorix_cli_add Chinese Deutsch English Français Japanese Nederlands
        return
        ;;
    esac

    if [[ -z $command ]]; then
        if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W '--library --data-dir --language --help --version' -- "$cur"))
        else
            _sonorix_cli_add_lines < <(_sonorix_cli_ask --help |
                sed -n 's/^  \([a-z][a-z-]*\)\( .*\)\{0,1\}$/\1/p')
        fi
        return
    fi

    if [[ $prev == --group || $prev == --to ]] ||
        [[ $prev == group && ($command == adjust || $command == remove-comments) ]] ||
        [[ ($command == group-delete || $command == group-rename) && $cur != -* ]]; then
        _sonorix_cli_add_lines < <(_sonorix_cli_ask groups | tail -n +2 | cut -f 2)
        return
    fi

    case $prev in
    --format)
        if [[ $command == tag ]]; then
            _sonorix_cli_add text tsv
        else
            _sonorix_cli_add human tsv
        fi
        return
        ;;
    --sort)
        _sonorix_cli_add status title artist album adjustment
        return
        ;;
    --mode)
        _sonorix_cli_add 0 1 2
        return
        ;;
    --album-mode)
        _sonorix_cli_add 0 1 2 3
        return
        ;;
    --gapless-always | --compilations-apart | --multiple-cd)
        _sonorix_cli_add true false
        return
        ;;
    --set | --threads | --additional | --search)
        return
        ;;
    esac

    if [[ $cur == -* ]]; then
        _sonorix_cli_add_lines < <(_sonorix_cli_ask "$command" --help |
            grep -o -- '--[a-z][a-z-]*' | sort -u)
        return
    fi
    case $command in
    adjust | remove-comments)
        if [[ $prev == "$command" ]]; then
            _sonorix_cli_add all group selected files
            return
        fi
        ;;
    config)
        if [[ $prev == config ]]; then
            _sonorix_cli_add_lines < <(_sonorix_cli_ask config --help |
                sed -n 's/^  \([A-Za-z][A-Za-z0-9]*\) .*/\1/p')
            return
        fi
        ;;
    esac
    _filedir
}
complete -F _sonorix_cli sonorix-cli
