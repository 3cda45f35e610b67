#!/usr/bin/env bash
# Every option a program prints in --help must be documented: as an item of its manual page
# (the tag line after .TP), and, with --completion, offered by its bash completion.
#
#   check_help_docs.sh --program PATH --page PAGE.1 [--completion FILE]
#
# Exits 1 listing each option that is missing.
set -euo pipefail

program="" page="" completion=""
while [ $# -gt 0 ]; do
    case $1 in
        --program) program=$2; shift 2 ;;
        --page) page=$2; shift 2 ;;
        --completion) completion=$2; shift 2 ;;
        *) echo "check_help_docs.sh: unknown argument $1" >&2; exit 2 ;;
    esac
done
[ -x "$program" ] && [ -f "$page" ] || { echo "check_help_docs.sh: need --program and --page" >&2; exit 2; }

help=$(QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} "$program" --help)
# The options are the leading words of the lines that start (after blanks) with a dash:
# "  -p, --port <NAME>  Serial port ..." gives -p and --port.
mapfile -t options < <(printf '%s\n' "$help" | awk '
    /^[ \t]*-/ {
        line = $0
        sub(/^[ \t]+/, "", line)
        sub(/  .*/, "", line)          # the description starts after two blanks
        n = split(line, words, /[ ,=]+/)
        for (i = 1; i <= n; i++)
            if (words[i] ~ /^--?[A-Za-z0-9][A-Za-z0-9-]*$/)
                print words[i]
    }' | sort -u)
if [ ${#options[@]} -lt 2 ]; then
    echo "FAIL: found no options in the --help of $program:" >&2
    printf '%s\n' "$help" >&2
    exit 1
fi

# The tag lines of the page's items, with troff's escapes taken out (\- is a dash, \fB bold).
tags=$(awk 'tp { print; tp = 0 } /^\.TP/ { tp = 1 }' "$page" |
    sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g')

missing=0
# grep -q reads from a here-string, not a pipe: it stops at the first match, and under
# pipefail the writer it left behind (killed by SIGPIPE) would turn a match into a failure.
has_word() { # has_word WORD TEXT: WORD stands alone in TEXT
    grep -Eq -- "(^|[^A-Za-z0-9-])$1([^A-Za-z0-9-]|\$)" <<<"$2"
}
for option in "${options[@]}"; do
    if ! has_word "$option" "$tags"; then
        echo "FAIL: $(basename "$program") --help has $option, its manual page $(basename "$page") has no item for it" >&2
        missing=1
    fi
done

if [ -n "$completion" ]; then
    # Ask the completion what it offers after a lone dash, as bash would.
    offered=$(bash -c '
        compopt() { :; }
        complete() { :; }
        . "$1"
        COMP_WORDS=(iap-flash -); COMP_CWORD=1
        _iap_flash
        printf "%s\n" "${COMPREPLY[@]}"' _ "$completion")
    for option in "${options[@]}"; do
        if ! grep -qx -- "$option" <<<"$offered"; then
            echo "FAIL: $(basename "$program") --help has $option, its bash completion does not offer it" >&2
            missing=1
        fi
    done
fi

[ $missing -eq 0 ] && echo "ok: ${#options[@]} options of $(basename "$program") documented: ${options[*]}"
exit $missing
