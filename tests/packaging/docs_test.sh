#!/usr/bin/env bash
# What a desktop, man and bash read, checked by their own tools: the desktop entry
# (desktop-file-validate), the AppStream metainfo (appstreamcli), the manual pages (man --warnings,
# also as lintian formats them), every option that a program's --help names is documented in its
# manual page and offered by its completion, and every variable the example hook reads in its page.
# Usage: docs_test.sh SOURCE-FOLDER BUILD-FOLDER DESKTOP-ID
set -uo pipefail
src=${1:?usage: docs_test.sh SOURCE-FOLDER BUILD-FOLDER DESKTOP-ID}
build=${2:?}
id=${3:?}
failed=0
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }
need() { command -v "$1" >/dev/null || { echo "FAIL: $1 is missing (scripts/deps.sh installs $2)"; exit 1; }; }
need desktop-file-validate desktop-file-utils
need appstreamcli appstream
need man man-db

out=$(desktop-file-validate "$src/packaging/$id.desktop" 2>&1) && [[ -z $out ]] ||
    fail "desktop-file-validate: $out"
out=$(appstreamcli validate --no-net --no-color "$src/packaging/$id.metainfo.xml" 2>&1) ||
    fail "appstreamcli validate: $out"

declare -A pages=([velnor-client]=velnor-client.1 [velnor-tftp]=velnor-tftp.1 [velnor-router-sim]=velnor-router-sim.8)
declare -A programs=([velnor-client]=$build/app/velnor-client [velnor-tftp]=$build/cli/velnor-tftp
                     [velnor-router-sim]=$build/sim/velnor-router-sim)
for program in velnor-client velnor-tftp velnor-router-sim; do
    page=$build/packaging/man/${pages[$program]}
    [[ -f $page ]] || { fail "$page was not built (is scdoc installed?)"; continue; }
    # Warnings as man shows the page, and as lintian formats it (UTF-8, every warning on).
    out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    [[ -z $out ]] || fail "man --warnings -l ${pages[$program]}: $out"
    out=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
    [[ -z $out ]] || fail "man as lintian runs it, ${pages[$program]}: $out"
    text=$(LC_ALL=C.UTF-8 MANWIDTH=200 man -l "$page" 2>/dev/null | col -b)
    for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" FILES EXAMPLES; do
        grep -qx "$section" <<< "$text" || fail "${pages[$program]} has no $section section"
    done

    # The window takes no option of its own but the one its desktop entry gives.
    if [[ $program == velnor-client ]]; then
        grep -q -- "--menu-start" <<< "$text" || fail "velnor-client.1 does not document --menu-start"
        grep -q "^Exec=velnor-client --menu-start$" "$src/packaging/$id.desktop" ||
            fail "the desktop entry does not start velnor-client with --menu-start"
        continue
    fi
    help=$("${programs[$program]}" --help) || { fail "$program --help"; continue; }
    if [[ $program == velnor-tftp ]]; then
        help+=$("${programs[$program]}" backup --help) || fail "velnor-tftp backup --help"
        help+=$("${programs[$program]}" restore --help) || fail "velnor-tftp restore --help"
        help+=$("${programs[$program]}" status --help) || fail "velnor-tftp status --help"
    fi
    options=$(grep -oE -- '(^|[ ,[(])--?[A-Za-z][A-Za-z0-9-]*' <<< "$help" | sed 's/^[ ,[(]*//' | sort -u)
    completion=$(cat "$src/packaging/completion/$program")
    # And the other way round: no page documents an option that the program does not name (-h, the
    # short form of --help, is taken by every program without being listed).
    for option in $(grep -oE -- '\*--?[A-Za-z][A-Za-z0-9-]*\*' "$src/packaging/man/${pages[$program]}.scd" |
                    tr -d '*' | sort -u); do
        [[ $option == -h ]] && continue
        grep -qxF -- "$option" <<< "$options" ||
            fail "${pages[$program]} documents $option, which $program --help does not name"
    done
    for option in $options; do
        grep -qE -- "(^|[^A-Za-z0-9-])$option([^A-Za-z0-9-]|$)" <<< "$text" ||
            fail "$program --help names $option, which ${pages[$program]} does not document"
        grep -qE -- "(^|[^A-Za-z0-9-])$option([^A-Za-z0-9-]|$)" <<< "$completion" ||
            fail "$program --help names $option, which its completion does not offer"
    done
done

# The example hook's page: no warnings, and every variable the hook reads is documented there.
page=$build/packaging/man/velnor-backup-mail.8
if [[ -f $page ]]; then
    out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
    [[ -z $out ]] || fail "man --warnings -l velnor-backup-mail.8: $out"
    text=$(LC_ALL=C.UTF-8 MANWIDTH=200 man -l "$page" 2>/dev/null | col -b)
    for variable in $(grep -oE 'VELNOR_[A-Z_]+' "$src/packaging/service/velnor-backup-mail" | sort -u); do
        grep -q "$variable" <<< "$text" || fail "velnor-backup-mail reads $variable, which its page does not document"
    done
else
    fail "$page was not built (is scdoc installed?)"
fi

if ((failed)); then
    echo "docs: $failed failed"
    exit 1
fi
echo "docs: desktop entry, metainfo and manual pages valid; every option documented and completed"
