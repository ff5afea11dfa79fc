#!/usr/bin/env bash
# The nightly backup service as installed (cmake --install into a scratch root, its configuration
# folder at ROOT/etc as the package has it): every unit passes systemd-analyze verify against that
# root, the service's exposure is at most 2.5 ("OK"), the sysusers and tmpfiles files make the user
# and the state folder the unit runs with, and the units, the program they run and the settings agree
# on the paths they share.
# Usage: service_test.sh BUILD-FOLDER
set -uo pipefail
build=${1:?usage: service_test.sh BUILD-FOLDER}
for tool in systemd-analyze systemd-sysusers systemd-tmpfiles; do
    command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (scripts/deps.sh installs systemd)"; exit 1; }
done
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }

cmake --install "$build" --prefix "$root/usr" >/dev/null || { echo "FAIL: cmake --install"; exit 1; }
mv "$root/usr/etc" "$root/etc"
units=$root/usr/lib/systemd/system
service=$units/velnor-backup.service
# One setting of a unit file (the last one given).
setting() { sed -n "s/^$2=//p" "$1" | tail -n1; }

# verify: syntax, every setting known, and the programs the units start present (in the root, which
# gets this machine's targets and slices for the units' dependencies). Manual pages are looked up on
# this machine, not in the root: the package test checks them.
for file in /lib/systemd/system/*.target /lib/systemd/system/*.slice; do
    [[ -e $units/$(basename "$file") ]] || cp "$file" "$units/"
done
for unit in "$units"/velnor-*; do
    out=$(systemd-analyze verify --root="$root" --man=no --recursive-errors=no "$unit" 2>&1) && [[ -z $out ]] ||
        fail "systemd-analyze verify $(basename "$unit"): $out"
done
[[ -e $units/velnor-backup.service && -e $units/velnor-backup.timer ]] || fail "the service or its timer is not installed"

# The exposure of the sandbox, as systemd rates it: at most 2.5.
report=$(systemd-analyze security --offline=yes --root="$root" "$service" 2>&1)
level=$(sed -n 's/.*Overall exposure level for velnor-backup.service: \([0-9.]*\).*/\1/p' <<< "$report")
if [[ -z $level ]]; then
    fail "systemd-analyze security printed no exposure level: $report"
elif ! awk -v l="$level" 'BEGIN { exit !(l <= 2.5) }'; then
    fail "the service's exposure level is $level, over 2.5: $(grep '✗' <<< "$report")"
else
    echo "exposure level of velnor-backup.service: $level"
fi

# What the unit must hold for the job it does.
declare -A want=([Type]=oneshot [User]=velnor-backup [UMask]=0077 [NoNewPrivileges]=yes [ProtectSystem]=strict
                 [ProtectHome]=yes [PrivateTmp]=yes [PrivateDevices]=yes [CapabilityBoundingSet]=""
                 [RestrictAddressFamilies]="AF_INET AF_UNIX" [MemoryDenyWriteExecute]=yes
                 [ConditionPathExists]=/etc/velnor/routers.csv [StateDirectory]=velnor-backup)
for key in "${!want[@]}"; do
    grep -q "^$key=" "$service" || { fail "the service sets no $key="; continue; }
    [[ $(setting "$service" "$key") == "${want[$key]}" ]] ||
        fail "the service's $key= is \"$(setting "$service" "$key")\", not \"${want[$key]}\""
done
timer=$units/velnor-backup.timer
[[ $(setting "$timer" OnCalendar) == "*-*-* 02:15:00" && $(setting "$timer" Persistent) == true &&
   $(setting "$timer" RandomizedDelaySec) == 15min && $(setting "$timer" WantedBy) == timers.target ]] ||
    fail "the timer is not daily at 02:15, persistent, within 15 min, wanted by timers.target"

# The user and the state folder, made in the root as the package's scripts make them.
systemd-sysusers --root="$root" velnor-backup.conf >/dev/null 2>&1 || fail "systemd-sysusers velnor-backup.conf"
entry=$(grep '^velnor-backup:' "$root/etc/passwd")
IFS=: read -r name _ uid gid _ home shell <<< "$entry"
[[ $name == "$(setting "$service" User)" ]] || fail "sysusers makes no user $(setting "$service" User): $entry"
((uid > 0 && uid < 1000)) || fail "velnor-backup is not a system user (uid $uid)"
[[ $home == "/var/lib/$(setting "$service" StateDirectory)" ]] || fail "velnor-backup's home $home is not its state folder"
[[ $shell == /usr/sbin/nologin ]] || fail "velnor-backup has the shell $shell"
grep -q "^velnor-backup:x:$gid:" "$root/etc/group" || fail "sysusers makes no group velnor-backup of gid $gid"
if [[ $(id -u) -eq 0 ]]; then
    systemd-tmpfiles --root="$root" --create velnor-backup.conf || fail "systemd-tmpfiles --create velnor-backup.conf"
    read -r mode owner group < <(stat -c '%a %u %g' "$root/var/lib/velnor-backup" 2>/dev/null)
    [[ $mode == 700 && $owner == "$uid" && $group == "$gid" ]] ||
        fail "the state folder is $mode $owner:$group, not 700 $uid:$gid"
else
    echo "tmpfiles: skipped, the state folder's owner can be set by root only"
fi

# The program the unit runs writes into the unit's state folder, reads the list the unit waits for
# and the settings file the package installs; the cron job runs the same program as the same user.
program=$root$(setting "$service" ExecStart)
grep -qx "out=/var/lib/$(setting "$service" StateDirectory)/configs" "$program" ||
    fail "$(setting "$service" ExecStart) writes elsewhere than the state folder"
grep -qx "inventory=$(setting "$service" ConditionPathExists)" "$program" ||
    fail "$(setting "$service" ExecStart) reads another list than the unit waits for"
settings=$(sed -n 's/^settings=//p' "$program")
[[ -f $root$settings ]] || fail "$(setting "$service" ExecStart) reads $settings, which is not installed"
cron=$root/etc/cron.d/velnor-backup
grep -qE "^15 2 \* \* \*[[:space:]]+velnor-backup[[:space:]]+\[ -d /run/systemd/system \] \|\| $(setting "$service" ExecStart)( |$)" "$cron" ||
    fail "the cron job does not run $(setting "$service" ExecStart) as velnor-backup at 02:15 where systemd does not run"
# Every setting of the settings file is one that the program knows (commented out, with its default).
while IFS= read -r name; do
    grep -q "^$name=" "$program" || [[ $name == BACKUP_MAIL_* ]] ||
        fail "$settings offers $name, which $(setting "$service" ExecStart) does not know"
done < <(sed -n 's/^#\([A-Z_]*\)=.*/\1/p' "$root$settings" | sort -u)

# The example list is one the backup takes: with its password files beside it and every router
# marked down (nothing is sent), the run is not refused.
mkdir -p "$root/try"
awk -F, -v OFS=, '/^#/ || /^name,/ { print; next } { $5 = "down"; print }' "$root/etc/velnor/routers.csv.example" \
    > "$root/try/routers.csv"
for pw in $(awk -F, '!/^#/ && !/^name,/ && $4 != "" { print $4 }' "$root/try/routers.csv" | sort -u); do
    (umask 077 && echo secret > "$root/try/$pw")
done
out=$("$root/usr/bin/velnor-tftp" backup -q --inventory "$root/try/routers.csv" --out "$root/try/configs" 2>&1) ||
    fail "velnor-tftp backup refuses the example list: $out"

if ((failed)); then
    echo "service: $failed failed"
    exit 1
fi
echo "service: units verified, exposure $level, user and state folder as the unit runs them"
