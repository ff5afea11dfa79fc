#!/usr/bin/env bash
# The bash completion of velnor-tftp and velnor-router-sim, driven as bash drives it: the words of a
# command line up to the cursor, the completion function, and what it offers. Every case runs twice:
# with only our file sourced, and with bash-completion's helpers loaded first (as on a desktop).
# Usage: completion_test.sh COMPLETION-FOLDER
set -uo pipefail
folder=$(cd "${1:?usage: completion_test.sh COMPLETION-FOLDER}" && pwd) || exit 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/files/sub dir"
touch "$work/files/config.txt" "$work/files/firmware.bin"

# Runs one completion in a fresh bash; prints the offered words, one per line, sorted.
# $1: "plain" or "full"; $2: the command line up to the cursor (a trailing space starts a new word).
complete_line()
{
    local mode=$1 line=$2
    bash --norc --noprofile -s -- "$mode" "$line" "$folder" <<'INNER'
mode=$1 line=$2 folder=$3
if [[ $mode == full ]]; then
    source /usr/share/bash-completion/bash_completion 2>/dev/null || exit 3
fi
source "$folder/velnor-tftp"
source "$folder/velnor-router-sim"
# Words as bash splits them: at blanks, and "=" of "--opt=value" as a word of its own.
words=()
for w in $line; do
    if [[ $w == --*=* ]]; then
        words+=("${w%%=*}" "=")
        [[ -n ${w#*=} ]] && words+=("${w#*=}")
    else
        words+=("$w")
    fi
done
[[ $line == *" " ]] && words+=("")
COMP_WORDS=("${words[@]}")
COMP_CWORD=$((${#words[@]} - 1))
COMP_LINE=$line
COMP_POINT=${#line}
COMPREPLY=()
compspec=$(complete -p "${words[0]}") || exit 4
fn=${compspec#*-F }
fn=${fn%% *}
"$fn" "${words[0]}" "${words[COMP_CWORD]}" "${words[COMP_CWORD - 1]}"
printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | sort
INNER
}

passed=0
failed=0
# $1 mode, $2 line, $3 the words expected, blank-separated and sorted (or "" for none); a leading
# "~" asks only that these words be among the offered ones.
check()
{
    local mode=$1 line=$2 want=$3 got
    got=$(cd "$work/files" && complete_line "$mode" "$line" | tr '\n' ' ' | sed 's/ $//')
    local ok=0
    if [[ $want == "~"* ]]; then
        ok=1
        for w in ${want#\~}; do
            [[ " $got " == *" $w "* ]] || ok=0
        done
    else
        [[ $got == "$want" ]] && ok=1
    fi
    if ((ok)); then
        ((passed++))
    else
        ((failed++))
        printf 'FAIL [%s] "%s": expected "%s", got "%s"\n' "$mode" "$line" "$want" "$got"
    fi
}

modes=(plain)
if [[ -r /usr/share/bash-completion/bash_completion ]]; then
    modes+=(full)
else
    echo "bash-completion is not installed: only the plain cases run"
fi

for mode in "${modes[@]}"; do
    # Commands.
    check "$mode" "velnor-tftp g" "get"
    check "$mode" "velnor-tftp " "backup get put restore revup status"
    check "$mode" "velnor-tftp res" "restore"
    check "$mode" "velnor-tftp -q rev" "revup"
    check "$mode" "velnor-tftp --password-file pw.txt p" "put"
    check "$mode" "velnor-tftp -n 2 b" "backup"
    # File numbers: 0-4 for configuration files, 0-1 for firmware, whichever side of the command.
    check "$mode" "velnor-tftp get -n " "0 1 2 3 4"
    check "$mode" "velnor-tftp -n " "0 1 2 3 4"
    check "$mode" "velnor-tftp put --file-number " "0 1 2 3 4"
    check "$mode" "velnor-tftp revup -n " "0 1"
    check "$mode" "velnor-tftp revup --file-number=" "0 1"
    check "$mode" "velnor-tftp get --file-number=3" "3"
    # Options, by command.
    check "$mode" "velnor-tftp get --fi" "--file-number"
    check "$mode" "velnor-tftp put --if" "--if-changed"
    check "$mode" "velnor-tftp get --if" ""
    check "$mode" "velnor-tftp backup --" "--git --help --hook --hook-timeout --inventory --jobs --json --metrics --out --password-file --password-files-anywhere --prune --push --push-remote --quiet --stale-after --timeout --wait-lock"
    check "$mode" "velnor-tftp status --" "--help --json --out --stale-after"
    check "$mode" "velnor-tftp status --out su" "sub dir"
    check "$mode" "velnor-tftp backup --metrics con" "config.txt"
    check "$mode" "velnor-tftp backup --wait-lock " ""
    check "$mode" "velnor-tftp get --" "~--json --timeout --check --verbose --trace --version --quiet --password-file"
    # The wait for the flash ROM: for the commands that write it, never for a get.
    check "$mode" "velnor-tftp get --rom" ""
    check "$mode" "velnor-tftp put --rom" "--rom-timeout"
    check "$mode" "velnor-tftp revup --rom" "--rom-timeout"
    check "$mode" "velnor-tftp --rom" "--rom-timeout"
    check "$mode" "velnor-tftp restore --" "-- --check --force --help --inventory --json --out --password-file --quiet --revision --timeout --wait-lock"
    check "$mode" "velnor-tftp restore --revision " ""
    check "$mode" "velnor-tftp restore --out su" "sub dir"
    check "$mode" "velnor-tftp put --d" "--diff"
    check "$mode" "velnor-tftp get --d" ""
    check "$mode" "velnor-tftp -" "~-n -p -q -v -V -h"
    # Values that are no file: nothing offered.
    check "$mode" "velnor-tftp get -p " ""
    check "$mode" "velnor-tftp get --timeout " ""
    # Files: the local file after the router, "-" for the standard streams, a folder for --out.
    check "$mode" "velnor-tftp get 192.0.2.1 con" "config.txt"
    check "$mode" "velnor-tftp revup -n 1 192.0.2.1 fi" "firmware.bin"
    check "$mode" "velnor-tftp put 192.0.2.1 " "~- config.txt firmware.bin"
    check "$mode" "velnor-tftp get 192.0.2.1 config.txt " ""
    check "$mode" "velnor-tftp get --password-file " "~- config.txt"
    check "$mode" "velnor-tftp backup --out su" "sub dir"
    check "$mode" "velnor-tftp backup --inventory con" "config.txt"
    # After "--" every word is an argument, even one starting with "-".
    check "$mode" "velnor-tftp -- get 192.0.2.1 con" "config.txt"
    # The simulator: options and the folder of its files.
    check "$mode" "velnor-router-sim --ro" "--root"
    check "$mode" "velnor-router-sim --root su" "sub dir"
    check "$mode" "velnor-router-sim --trace con" "config.txt"
    check "$mode" "velnor-router-sim --listen 127.0.0.1 --sil" "--silent --silent-address"
    check "$mode" "velnor-router-sim --port " ""
done

echo "completion: $passed passed, $failed failed"
((failed == 0))
