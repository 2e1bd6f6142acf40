# bash completion for kelvane-cli: commands, each command's options, data
# packages (*.csv) and, after --to, folders.

_kelvane_cli_files()
{
    # $1: a compgen filter (-X pattern) or nothing
    local IFS=$'\n'
    COMPREPLY=($(compgen -d -- "$cur") $(compgen -f ${1:+-X "$1"} -- "$cur"))
    compopt -o filenames 2>/dev/null
}

_kelvane_cli()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    local common='-h --help -V --version'
    local command='' i
    for ((i = 1; i < COMP_CWORD; i++)); do
        case ${COMP_WORDS[i]} in
            scan | move | fetch | help)
                command=${COMP_WORDS[i]}
                break
                ;;
        esac
    done
    # --to=FOLDER: bash splits the word at '='.
    if [[ $cur == = ]]; then
        cur=''
    elif [[ $prev == = && $COMP_CWORD -ge 2 ]]; then
        prev=${COMP_WORDS[COMP_CWORD - 2]}
    fi

    case $command in
        '')
            COMPREPLY=($(compgen -W "scan move fetch help $common" -- "$cur"))
            ;;
        help)
            COMPREPLY=($(compgen -W 'scan move fetch' -- "$cur"))
            ;;
        scan)
            if [[ $cur == -* ]]; then
                COMPREPLY=($(compgen -W "--json $common" -- "$cur"))
            else
                _kelvane_cli_files '!*.[cC][sS][vV]'
            fi
            ;;
        move)
            case $prev in
                --to)
                    local IFS=$'\n'
                    COMPREPLY=($(compgen -d -- "$cur"))
                    compopt -o filenames 2>/dev/null
                    return
                    ;;
                --connections | --retries | --timeout)
                    return
                    ;;
            esac
            if [[ $cur == -* ]]; then
                COMPREPLY=($(compgen -W "--to --skip-image-space --skip-third-party
                    --blank-failed --connections --retries --timeout --no-http-fallback --json
                    -q --quiet $common" -- "$cur"))
            else
                _kelvane_cli_files '!*.[cC][sS][vV]'
            fi
            ;;
        fetch)
            [[ $prev == --timeout ]] && return
            if [[ $cur == -* ]]; then
                COMPREPLY=($(compgen -W "--timeout --no-http-fallback $common" -- "$cur"))
            else
                _kelvane_cli_files
            fi
            ;;
    esac
}

complete -F _kelvane_cli kelvane-cli
