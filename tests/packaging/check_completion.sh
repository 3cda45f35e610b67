#!/usr/bin/env bash
# What the bash completion of iap-flash offers, as bash would ask for it: serial ports after
# -p/--port, the two languages after --lang, files for FIRMWARE.
#
#   check_completion.sh COMPLETION_FILE IAP_FLASH
set -euo pipefail
completion=$(realpath "$1")
flasher=$(realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# complete WORD... : what the completion offers for the last word, one per line.
complete_words() {
    (cd "$work" && bash -c '
        compopt() { :; }
        complete() { :; }
        . "$1"; shift
        COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
        _iap_flash
        printf "%s\n" "${COMPREPLY[@]}"' _ "$completion" "$flasher" "${@:2}")
}

failures=0
expect() { # expect NAME EXPECTED ACTUAL
    if [ "$2" != "$3" ]; then
        echo "FAIL: $1: expected [$2], got [$3]" >&2
        failures=$((failures + 1))
    else
        echo "ok: $1"
    fi
}

# Ports: what iap-flash --list lists, every /dev/serial/by-id/* entry, and the two network
# schemes; never the virtual consoles /dev/tty0-63.
listed=$("$flasher" --list 2>/dev/null | cut -f1)
wanted=$( (printf '%s\n' "$listed" | grep . || true
           for p in /dev/serial/by-id/*; do [ -e "$p" ] && echo "$p"; done
           echo rfc2217://; echo socket://) | sort)
expect "-p lists the serial ports" "$wanted" "$(complete_words iap-flash -p "" | sort)"
expect "--port lists the serial ports" "$wanted" "$(complete_words iap-flash --port "" | sort)"
wanted_tty=$( (printf '%s\n' "$listed" | grep '^/dev/tt' || true) | sort)
expect "--port /dev/tt narrows to the listed /dev/tty*" "$wanted_tty" \
    "$(complete_words iap-flash --port /dev/tt | sort)"
expect "no virtual console" "" "$(complete_words iap-flash -p /dev/tty | grep -E '^/dev/tty[0-9]+$' || true)"

expect "-p rf completes rfc2217://" "rfc2217://" "$(complete_words iap-flash -p rf)"
expect "--port so completes socket://" "socket://" "$(complete_words iap-flash --port so)"
expect "--reset offers the modem lines" $'dtr\nrts' "$(complete_words iap-flash --reset "" | sort)"
expect "--after offers reset and none" $'none\nreset' "$(complete_words iap-flash --after "" | sort)"

expect "--lang offers en and zh" $'en\nzh' "$(complete_words iap-flash --lang "" | sort)"
expect "--lang z completes zh" "zh" "$(complete_words iap-flash --lang z)"
expect "--format offers the formats" $'bin\nelf\nhex\nsrec' "$(complete_words iap-flash --format "" | sort)"

# The firmware: files of the working folder (and folders to walk into).
touch "$work/app.bin" "$work/boot loader.bin"
mkdir "$work/images"
expect "FIRMWARE completes files" $'app.bin\nboot loader.bin\nimages' \
    "$(complete_words iap-flash -p /dev/ttyUSB0 "" | sort)"
expect "FIRMWARE completes a prefix" "app.bin" "$(complete_words iap-flash -p /dev/ttyUSB0 ap)"

# Options after a dash; a long option from its beginning.
expect "--js completes --json" "--json" "$(complete_words iap-flash --js)"
expect "--req completes --request-timeout" "--request-timeout" "$(complete_words iap-flash --req)"

exit $((failures > 0))
