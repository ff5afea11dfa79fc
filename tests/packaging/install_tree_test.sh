#!/usr/bin/env bash
# `cmake --install` into a temporary prefix: exactly the expected files (the three programs and what a
# desktop, man and bash look for, the backup service and the Ansible collection; nothing of the
# tests, benchmarks or screenshots), each with the mode a package must carry, and the desktop files
# naming one id throughout. The expected files are those of expected-files.sh (EXPECTED-LIST and the
# Ansible collection).
# Usage: install_tree_test.sh BUILD-FOLDER EXPECTED-LIST DESKTOP-ID
set -uo pipefail
build=${1:?usage: install_tree_test.sh BUILD-FOLDER EXPECTED-LIST DESKTOP-ID}
list=${2:?}
id=${3:?}
prefix=$(mktemp -d)
expected=$prefix.expected
trap 'rm -rf "$prefix" "$expected"' EXIT
"$(dirname "$0")/expected-files.sh" "$(cd "$(dirname "$list")/../.." && pwd)" > "$expected" ||
    { echo "FAIL: expected-files.sh"; exit 1; }
failed=0
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }

# The umask of user-private groups must not make folders group-writable.
(umask 002 && cmake --install "$build" --prefix "$prefix" >/dev/null) || { echo "FAIL: cmake --install"; exit 1; }

if ! diff -u "$expected" <(cd "$prefix" && find . \( -type f -o -type l \) | sed 's|^\./||' | LC_ALL=C sort); then
    fail "the installed files differ from $list and the collection (- expected, + installed)"
fi

# Programs rwxr-xr-x, every other file rw-r--r--, every folder rwxr-xr-x.
while IFS= read -r line; do
    mode=${line%% *}
    path=${line#* }
    case $path in
        ./bin/* | ./sbin/* | ./libexec/velnor-client/*) want=755 ;;
        *) [[ -d $prefix/$path ]] && want=755 || want=644 ;;
    esac
    [[ $mode == "$want" ]] || fail "$path has mode $mode, not $want"
done < <(cd "$prefix" && find . -mindepth 1 -printf '%m %p\n')

# The programs are the real ones: they answer --help (the window is not started here).
for program in velnor-tftp velnor-router-sim; do
    "$prefix/bin/$program" --help >/dev/null || fail "$program --help from the installed tree"
done

# One id for the desktop entry, its icon, the AppStream component and its launchable; the icon sizes
# as their folders say.
desktop=$prefix/share/applications/$id.desktop
metainfo=$prefix/share/metainfo/$id.metainfo.xml
grep -qx "Icon=$id" "$desktop" || fail "the desktop entry's Icon is not $id"
grep -q "<id>$id</id>" "$metainfo" || fail "the metainfo id is not $id"
grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo" || fail "the launchable is not $id.desktop"
# The program holds the id as Qt's UTF-16 string literal.
utf16=""
for ((i = 0; i < ${#id}; i++)); do utf16+="\\Q${id:i:1}\\E\\x00"; done
LC_ALL=C grep -qaP "$utf16" "$prefix/bin/velnor-client" ||
    fail "velnor-client does not give $id as its desktop file name"
for png in "$prefix"/share/icons/hicolor/*x*/apps/"$id".png; do
    size=$(basename "$(dirname "$(dirname "$png")")")
    # A PNG's width and height: big-endian 32-bit words at bytes 16 and 20.
    read -r w h < <(od -An -tu1 -j16 -N8 "$png" |
        awk '{ print $1*16777216 + $2*65536 + $3*256 + $4, $5*16777216 + $6*65536 + $7*256 + $8 }')
    [[ "${w}x${h}" == "$size" ]] || fail "$png is ${w}x${h}, not $size"
done

# The version of the release in the metainfo, the Debian changelog and the programs.
version=$("$prefix/bin/velnor-tftp" --version | head -n1 | grep -o '[0-9][0-9.]*$')
grep -q "<release version=\"$version\"" "$metainfo" || fail "the metainfo has no release $version"
zcat "$prefix/share/doc/velnor-client/changelog.gz" | head -n1 | grep -q "^velnor-client ($version)" ||
    fail "the Debian changelog does not start with $version"

if ((failed)); then
    echo "install tree: $failed failed"
    exit 1
fi
echo "install tree: $(wc -l < "$expected") files as expected"
