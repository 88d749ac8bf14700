# bash completion for zarnin, zarnout and wardrun.         -*- shell-script -*-
# Installed once per program name under share/bash-completion/completions;
# each copy defines all three.
#
# zarnin:  options, the root after -r, then package files
#          (name#version.pkg.tar.*) and directories to reach them.
# zarnout: options, the root after -r, then the package names recorded in
#          the database of the root that the command line, PKG_ROOT and
#          PKG_DBDIR select, as the programs themselves resolve it.
# wardrun: -p and its profiles, then a command and that command's own
#          completion.

# The word under the cursor, without bash-completion's helpers.
_sorn_cur() {
    cur=${COMP_WORDS[COMP_CWORD]}
}

# Quotes and a leading ~ removed, as the shell would before running the
# program; nothing is evaluated.
_sorn_dequote() {
    local w=$1
    case $w in
        \'*\') w=${w:1:${#w}-2} ;;
        \"*\") w=${w:1:${#w}-2} ;;
        *) w=${w//\\/} ;;
    esac
    [[ $w == '~' || $w == '~/'* ]] && w=$HOME${w:1}
    printf '%s' "$w"
}

# Scans the words before the cursor the way getopt does (no permutation)
# with the option letters in $1, those taking an argument followed by ':'.
# Sets, in the caller's locals: sorn_root (the last -r argument) and
# sorn_has_root, sorn_operands (how many operands precede the cursor) and
# sorn_wants ("option-arg" when the cursor word is the argument of -r).
_sorn_scan() {
    local optstring=$1 i w j c operands_only=0
    sorn_root= sorn_has_root=0 sorn_operands=0 sorn_wants=other
    for ((i = 1; i < COMP_CWORD; i++)); do
        w=${COMP_WORDS[i]}
        if ((sorn_operands > 0 || operands_only)); then
            ((sorn_operands++))
        elif [[ $w == -- ]]; then
            operands_only=1
        elif [[ $w != -?* ]]; then
            sorn_operands=1
        else
            for ((j = 1; j < ${#w}; j++)); do
                c=${w:j:1}
                [[ $optstring == *"$c:"* ]] || continue
                if ((j + 1 < ${#w})); then
                    sorn_root=$(_sorn_dequote "${w:j+1}") sorn_has_root=1
                elif ((i + 1 < COMP_CWORD)); then
                    ((i++))
                    sorn_root=$(_sorn_dequote "${COMP_WORDS[i]}") sorn_has_root=1
                else
                    sorn_wants=option-arg
                fi
                break
            done
        fi
    done
}

_sorn_dirs() {
    local IFS=$'\n'
    compopt -o filenames 2>/dev/null
    COMPREPLY=($(compgen -d -- "$1"))
}

# The names recorded in the package database of the root. The directory is
# resolved as the programs do: an empty root is the running system;
# PKG_DBDIR unset or empty gives /var/lib/pkg under the root, an absolute
# PKG_DBDIR is used as it is, a relative one is taken under the root. The
# file is read like the programs read it: a record starts at a non-empty
# line after empty ones, and its first line is the name.
_sorn_installed_names() {
    local root=${1:-/} dir=${PKG_DBDIR-}
    [[ -z $dir ]] && dir=/var/lib/pkg
    if [[ $dir != /* ]]; then
        dir=${root%/}/$dir
    elif [[ -z ${PKG_DBDIR-} ]]; then
        dir=${root%/}$dir
    fi
    [[ -r $dir/db ]] || return 0
    SORN_CUR=$2 awk '
        BEGIN { cur = ENVIRON["SORN_CUR"] }
        $0 == "" { state = 0; next }
        state == 0 { state = 1
                     if (index($0, cur) == 1 && !($0 in seen)) { seen[$0]; print } ; next }
        { state = 2 }
    ' "$dir/db" 2>/dev/null
}

# Package files by the grammar zarnin checks: the base name holds a "#",
# and the first ".pkg.tar." comes after the first "#".
_sorn_package_files() {
    local cur=$1 f base
    local IFS=$'\n'
    compopt -o filenames 2>/dev/null
    COMPREPLY=()
    for f in $(compgen -f -- "$cur"); do
        if [[ -d $f ]]; then
            COMPREPLY+=("$f")
            continue
        fi
        base=${f##*/}
        [[ $base == *'#'* && ${base%%'#'*} != *.pkg.tar.* &&
            ${base#*'#'} == *.pkg.tar.* ]] && COMPREPLY+=("$f")
    done
}

_zarnin() {
    local cur sorn_root sorn_has_root sorn_operands sorn_wants
    _sorn_cur
    _sorn_scan r:
    if [[ $sorn_wants == option-arg ]]; then
        _sorn_dirs "$cur"
    elif ((sorn_operands > 0)); then
        COMPREPLY=()  # one package file only
    elif [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W '-u -f -r -v -h' -- "$cur"))
    else
        _sorn_package_files "$cur"
    fi
}

_zarnout() {
    local cur root sorn_root sorn_has_root sorn_operands sorn_wants
    _sorn_cur
    _sorn_scan r:
    if [[ $sorn_wants == option-arg ]]; then
        _sorn_dirs "$cur"
    elif ((sorn_operands > 0)); then
        COMPREPLY=()  # one package name only
    elif [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W '-f -r -v -h' -- "$cur"))
    else
        if ((sorn_has_root)); then
            root=$sorn_root
        elif [[ -n ${PKG_ROOT+set} ]]; then
            root=$PKG_ROOT
        else
            root=/
        fi
        local IFS=$'\n'
        COMPREPLY=($(_sorn_installed_names "$root" "$cur"))
    fi
}

_wardrun() {
    local cur command_at=1
    _sorn_cur
    [[ ${COMP_WORDS[1]-} == -p ]] && command_at=3
    if ((COMP_CWORD == 1)); then
        COMPREPLY=($(compgen -W '-p' -- "$cur") $(compgen -c -- "$cur"))
    elif ((command_at == 3 && COMP_CWORD == 2)); then
        COMPREPLY=($(compgen -W 'standard cargo' -- "$cur"))
    elif ((COMP_CWORD == command_at)); then
        COMPREPLY=($(compgen -c -- "$cur"))
    elif declare -F _command_offset >/dev/null; then
        _command_offset "$command_at"  # bash-completion: the command's own
    else
        local IFS=$'\n'
        compopt -o filenames 2>/dev/null
        COMPREPLY=($(compgen -f -- "$cur"))
    fi
}

complete -F _zarnin zarnin
complete -F _zarnout zarnout
complete -F _wardrun wardrun
