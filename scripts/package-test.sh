#!/usr/bin/env bash
# The Debian package as a user gets it: made by scripts/package.sh, checked with lintian (no error, no
# warning), installed with apt-get, tried from /usr/bin (the console companion against the installed
# simulator on loopback, the window on the offscreen platform as its menu entry starts it, the manual
# pages, the completion), its nightly backup service run as the unit runs it (as its user, with its
# umask, its settings and no privileges, against simulated routers), its Ansible collection used by a
# playbook, then purged: no file, user or folder of ours is left, and packages that the install
# brought in are removed again. Needs root; refuses to touch a velnor-client package installed
# beforehand.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD

if [ "$(id -u)" -ne 0 ]; then
  echo "package test: skipped, apt-get install needs root"
  exit 0
fi
if dpkg-query -W -f='${Status}' velnor-client 2>/dev/null | grep -q "installed"; then
  echo "package test: velnor-client is already installed on this machine; remove it first" >&2
  exit 1
fi

deb=$(scripts/package.sh | tail -n1)
echo "== Package $deb"
failed=0
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }

echo "== lintian"
# Running as root is fine here: lintian only unpacks the package into a temporary folder.
lintian --fail-on error,warning --display-info "$deb" || fail "lintian reports errors or warnings"

echo "== Contents"
# The list is relative to the prefix /usr; the backup service's settings are in /etc.
installed_paths() { "$src/tests/packaging/expected-files.sh" "$src" | sed -E 's|^|/usr/|; s|^/usr/etc/|/etc/|'; }
if ! diff -u <(installed_paths | sed 's|^/||' | LC_ALL=C sort) \
             <(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sed 's|^\./||' | LC_ALL=C sort); then
  fail "the package's files differ from tests/packaging/expected-install.txt and the collection"
fi
depends=$(dpkg-deb -f "$deb" Depends)
for need in fonts-ipafont-gothic qt6-translations-l10n libqt6widgets6 libc6 adduser; do
  [[ $depends == *"$need"* ]] || fail "Depends lacks $need: $depends"
done
[[ $(dpkg-deb -f "$deb" Recommends) == *git* ]] || fail "Recommends lacks git: $(dpkg-deb -f "$deb" Recommends)"
description=$(dpkg-deb -f "$deb" Description)
[[ $description != *"&"* && $description == *"router's"* ]] || fail "the description holds an XML entity: $description"
# Everything in /etc is the administrator's to change: a conffile.
[[ $(dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles | sort) == "$(installed_paths | grep '^/etc/' | sort)" ]] ||
  fail "the conffiles are not the package's files in /etc"
collection=$(dirname "$deb")/velnor-client-$(dpkg-deb -f "$deb" Version).0.tar.gz
[ -f "$collection" ] || fail "no Ansible collection $collection beside the package"

work=$(mktemp -d)
before=$(dpkg-query -W -f='${Package}\n' | sort)
installed=0
# What the test adds to the installed service's folders goes again before the purge, so that the
# purge finds only what is the package's.
made_exporter_folder=""
remove_test_files() {
  rm -f /etc/velnor/routers.csv /etc/velnor/fleet.pw /etc/velnor/r2.pw /tmp/velnor-package-test-mail.*
  [ ! -f "$work/default.orig" ] || cp "$work/default.orig" /etc/default/velnor-backup
  [ -z "$made_exporter_folder" ] || rm -rf "$made_exporter_folder"
  made_exporter_folder=""
}
cleanup() {
  remove_test_files
  if ((installed)); then
    echo "== Purge"
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 purge -y -q velnor-client >/dev/null
    # What the install brought in besides the package goes too: the machine is left as it was found.
    brought=$(comm -13 <(echo "$before") <(dpkg-query -W -f='${Package}\n' | sort))
    if [ -n "$brought" ]; then
      # shellcheck disable=SC2086
      DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 purge -y -q $brought >/dev/null
    fi
  fi
  rm -rf "$work"
}
trap cleanup EXIT

echo "== apt-get install $deb"
DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 install -y -q --no-install-recommends "$deb" >/dev/null
installed=1
dpkg -L velnor-client | while read -r path; do [ -f "$path" ] && echo "$path"; done > "$work/files"

echo "== From /usr/bin"
for program in velnor-client velnor-tftp velnor-router-sim; do
  [[ $(command -v "$program") == /usr/bin/$program ]] || fail "$program is not /usr/bin/$program"
done
/usr/bin/velnor-router-sim --help | grep -qx /usr/share/velnor-client/samples ||
  fail "the installed simulator does not name /usr/share/velnor-client/samples in --help"
version=$(/usr/bin/velnor-tftp --version) || fail "velnor-tftp --version"
[[ $version == *1.21* ]] || fail "velnor-tftp --version printed \"$version\""

# A get from the installed simulator with its installed samples, on loopback inside a network
# namespace of its own where one can be made (else on an address of its own, 127.0.17.1).
mkdir -p "$work/router" "$work/client"
cp /usr/share/velnor-client/samples/config* "$work/router/"
cat > "$work/get.sh" <<'GET'
set -eu
work=$1 address=$2
ip link set lo up 2>/dev/null || true
/usr/bin/velnor-router-sim --listen "$address" --root "$work/router" --max-seconds 60 > "$work/sim.log" 2>&1 &
sim=$!
for _ in $(seq 100); do grep -q serving "$work/sim.log" && break; sleep 0.05; done
status=0
/usr/bin/velnor-tftp get -q -n 1 "$address" "$work/client/config1.txt" || status=$?
kill "$sim"; wait "$sim" || true
exit $status
GET
if unshare --net true 2>/dev/null; then
  unshare --net sh "$work/get.sh" "$work" 127.0.0.1 || fail "velnor-tftp get from the installed simulator (namespace)"
else
  sh "$work/get.sh" "$work" 127.0.17.1 || fail "velnor-tftp get from the installed simulator (127.0.17.1)"
fi
cmp -s "$work/client/config1.txt" /usr/share/velnor-client/samples/config1 || fail "the fetched config1 differs from the sample"

# The window, started as its installed menu entry says, on the offscreen platform: its settings file
# appears in the configuration folder of the home given to it.
exec_line=$(sed -n 's/^Exec=//p' /usr/share/applications/org.velnor.VelnorClient.desktop)
mkdir -p "$work/home" "$work/menu"
(cd "$work/menu" && HOME="$work/home" XDG_CONFIG_HOME= QT_QPA_PLATFORM=offscreen exec $exec_line) > "$work/window.log" 2>&1 &
window=$!
settings="$work/home/.config/velnor-client/Velnor ClientV090.dat"
for _ in $(seq 200); do [ -f "$settings" ] && break; kill -0 "$window" 2>/dev/null || break; sleep 0.05; done
kill -0 "$window" 2>/dev/null || fail "the installed window ended by itself: $(cat "$work/window.log")"
[ -f "$settings" ] || fail "the menu start made no settings file in ~/.config/velnor-client"
[ -z "$(ls -A "$work/menu")" ] || fail "the menu start left files in the folder it was started in"
kill "$window" 2>/dev/null || true
wait "$window" 2>/dev/null || true

echo "== Manual pages, desktop files and completion as installed"
for page in velnor-client velnor-tftp velnor-router-sim velnor-backup-mail; do
  path=$(man -w "$page") || { fail "man finds no page for $page"; continue; }
  out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$path" 2>&1 >/dev/null)
  [ -z "$out" ] || fail "man --warnings $page: $out"
done
desktop-file-validate /usr/share/applications/org.velnor.VelnorClient.desktop || fail "desktop-file-validate"
appstreamcli validate --no-net --no-color /usr/share/metainfo/org.velnor.VelnorClient.metainfo.xml >/dev/null ||
  fail "appstreamcli validate"
tests/packaging/completion_test.sh /usr/share/bash-completion/completions || fail "the installed completion"


echo "== The backup service"
units=/usr/lib/systemd/system
unit=$units/velnor-backup.service
setting() { sed -n "s/^$2=//p" "$1" | tail -n1; }
# Installed, the units pass verify with their manual pages, and the service's exposure is "OK".
for file in "$units"/velnor-backup*; do
  out=$(systemd-analyze verify "$file" 2>&1) && [ -z "$out" ] || fail "systemd-analyze verify $file: $out"
done
level=$(systemd-analyze security --offline=yes "$unit" 2>&1 | sed -n 's/.*Overall exposure level for velnor-backup.service: \([0-9.]*\).*/\1/p')
awk -v l="${level:-99}" 'BEGIN { exit !(l <= 2.5) }' || fail "the installed service's exposure level is ${level:-unknown}"
IFS=: read -r _ _ uid _ _ home shell < <(getent passwd velnor-backup) || fail "no user velnor-backup"
((${uid:-0} > 0 && ${uid:-1000} < 1000)) && [[ $home == /var/lib/velnor-backup && $shell == /usr/sbin/nologin ]] ||
  fail "velnor-backup is not a system user without a shell: $(getent passwd velnor-backup)"
[[ $(stat -c '%a %U %G' /var/lib/velnor-backup 2>&1) == "700 velnor-backup velnor-backup" ]] ||
  fail "the state folder is $(stat -c '%a %U %G' /var/lib/velnor-backup 2>&1)"
# (deb-systemd-helper links to /lib/systemd/system, the same folder as /usr/lib/systemd/system.)
[[ $(readlink -f /etc/systemd/system/timers.target.wants/velnor-backup.timer) == $(readlink -f "$units/velnor-backup.timer") ]] ||
  fail "the timer is not enabled: $(ls -l /etc/systemd/system/timers.target.wants/ 2>&1)"

# The unit's command line as the unit runs it: its user and group, no privileges to gain, no
# capabilities, its umask, systemd's environment for it, nothing else.
user=$(setting "$unit" User) group=$(setting "$unit" Group) umask=$(setting "$unit" UMask)
exec_start=$(setting "$unit" ExecStart)
[[ -n $user && -n $group && -n $umask && -n $exec_start ]] || fail "the unit lacks User, Group, UMask or ExecStart"
# MemoryDenyWriteExecute= as the kernel's own switch for it (kept across exec), where it has one.
mdwe=""
if [[ $(setting "$unit" MemoryDenyWriteExecute) == yes ]]; then
  cat > "$work/mdwe.py" <<'MDWE'
import ctypes, os, sys
PR_SET_MDWE, PR_MDWE_REFUSE_EXEC_GAIN = 65, 1
ctypes.CDLL(None, use_errno=True).prctl(PR_SET_MDWE, PR_MDWE_REFUSE_EXEC_GAIN, 0, 0, 0)
os.execvp(sys.argv[1], sys.argv[1:])
MDWE
  mdwe="python3 $work/mdwe.py"
fi
cat > "$work/as-unit" <<AS_UNIT
#!/bin/sh
exec env -i PATH="\${TEST_PATH:-/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin}" LANG=C.UTF-8 \
    HOME=$home USER=$user LOGNAME=$user SHELL=$shell STATE_DIRECTORY=/var/lib/$(setting "$unit" StateDirectory) \
    $mdwe setpriv --reuid=$user --regid=$group --init-groups --no-new-privs --inh-caps=-all --bounding-set=-all \
    sh -c 'umask $umask && exec "\$@"' sh "\$@"
AS_UNIT
chmod 755 "$work/as-unit"

# Installed, the service does nothing until the list of routers exists.
"$work/as-unit" $exec_start > "$work/no-list.log" 2>&1 || fail "the service's command without a list: $(cat "$work/no-list.log")"
[ ! -e /var/lib/velnor-backup/configs ] || fail "the service's command without a list made the copies' folder"

# Three simulated routers (one with a password file of its own, one down); hooks that record their
# events and mail them through a sendmail of the test's own; the node exporter's folder, made for the
# test where it does not exist.
chmod 755 "$work"
mkdir -p "$work/fleet" "$work/bin"
for n in 1 2 3; do mkdir -p "$work/fleet/127.0.18.$n"; printf 'hostname r%s\nsecret line %s\n' "$n" "$n" > "$work/fleet/127.0.18.$n/config0"; done
cat > "$work/bin/sendmail" <<'SENDMAIL'
#!/bin/sh
cat > "$(mktemp /tmp/velnor-package-test-mail.XXXXXX)"
SENDMAIL
cat > "$work/bin/record-hook" <<'HOOK'
#!/bin/sh
echo "$VELNOR_EVENT ${VELNOR_ROUTER:-}" >> /var/lib/velnor-backup/hook-events
HOOK
chmod 755 "$work/bin/sendmail" "$work/bin/record-hook"
printf 'name,address,file_number,password_file,state\nr1,127.0.18.1,,,\nr2,127.0.18.2,,r2.pw,\nlab,127.0.18.3,,,down\n' > /etc/velnor/routers.csv
printf 'secret\n' | install -m 0600 -o velnor-backup /dev/stdin /etc/velnor/fleet.pw
printf 'secret\n' | install -m 0600 -o velnor-backup /dev/stdin /etc/velnor/r2.pw
cp /etc/default/velnor-backup "$work/default.orig"
cat >> /etc/default/velnor-backup <<SETTINGS
JOBS=2
TIMEOUT=1
PASSWORD_FILE=/etc/velnor/fleet.pw
HOOKS="$work/bin/record-hook /usr/sbin/velnor-backup-mail"
BACKUP_MAIL_TO=netadmin@example.org
SETTINGS
if [ ! -d /var/lib/prometheus/node-exporter ]; then
  made_exporter_folder=$( [ -d /var/lib/prometheus ] && echo /var/lib/prometheus/node-exporter || echo /var/lib/prometheus )
  install -d -o velnor-backup -g velnor-backup /var/lib/prometheus/node-exporter
fi
metrics=/var/lib/prometheus/node-exporter/velnor-backup.prom
cron_command=$(sed -n 's/^15 2 \* \* \*[[:space:]]*velnor-backup[[:space:]]*//p' /etc/cron.d/velnor-backup)
cat > "$work/service.sh" <<SERVICE
set -u
ip link set lo up 2>/dev/null || true
/usr/bin/velnor-router-sim --listen 127.0.18.1-127.0.18.3 --root "$work/fleet" --password secret --quiet --max-seconds 60 > "$work/sim.log" 2>&1 &
sim=\$!
for _ in \$(seq 100); do grep -q serving "$work/sim.log" && break; sleep 0.05; done
status=0
TEST_PATH="$work/bin:/usr/sbin:/usr/bin:/sbin:/bin" "$work/as-unit" $exec_start > "$work/run1.log" 2>&1 || status=1
# The cron job's line, where systemd does not run (as here): the same run, nothing changed since.
[ -d /run/systemd/system ] || TEST_PATH="$work/bin:/usr/sbin:/usr/bin:/sbin:/bin" "$work/as-unit" sh -c "$cron_command" > "$work/run2.log" 2>&1 || status=2
kill \$sim; wait \$sim 2>/dev/null
exit \$status
SERVICE
service_status=0
if unshare --net true 2>/dev/null; then
  unshare --net sh "$work/service.sh" || service_status=$?
else
  sh "$work/service.sh" || service_status=$?
fi
case $service_status in
  1) fail "the service's command line as velnor-backup: $(cat "$work/run1.log")" ;;
  2) fail "the cron job's command as velnor-backup: $(cat "$work/run2.log")" ;;
esac
# The set-up that the README gives warns of nothing, night after night.
! grep -qi "warning" "$work/run1.log" || fail "the service's run warns: $(grep -i warning "$work/run1.log")"
configs=/var/lib/velnor-backup/configs
for n in 1 2; do
  cmp -s "$configs/r$n.conf" "$work/fleet/127.0.18.$n/config0" || fail "the copy of r$n differs or is missing"
  [[ $(stat -c '%a %U' "$configs/r$n.conf" 2>&1) == "600 velnor-backup" ]] || fail "r$n.conf is $(stat -c '%a %U' "$configs/r$n.conf" 2>&1)"
done
[ ! -e "$configs/lab.conf" ] || fail "the router that is down was backed up"
commits=$(runuser -u velnor-backup -- git -C "$configs" rev-list --count HEAD 2>&1)
[[ $commits == 1 ]] || fail "the history has \"$commits\" commits after a changing and an unchanged run, not 1"
if [ -s "$metrics" ]; then
  grep -q '^velnor_backup_up{.*router="r1"' "$metrics" || fail "the metrics have no velnor_backup_up of r1"
  out=$(promtool check metrics < "$metrics" 2>&1) || fail "promtool check metrics: $out"
  # The node exporter runs as a user of its own: the metrics are readable by all, whatever the umask.
  [[ $(stat -c '%a %U' "$metrics") == "644 velnor-backup" ]] || fail "the metrics file is $(stat -c '%a %U' "$metrics")"
else
  fail "no metrics in $metrics"
fi
status_out=$(runuser -u velnor-backup -- /usr/bin/velnor-tftp status --out "$configs" 2>&1) ||
  fail "velnor-tftp status of the service's folder: $status_out"
grep -q "r1" <<< "$status_out" && grep -q "r2" <<< "$status_out" || fail "status does not list r1 and r2: $status_out"
grep -q "^changed r1$" /var/lib/velnor-backup/hook-events 2>/dev/null && grep -q "^run_done" /var/lib/velnor-backup/hook-events 2>/dev/null ||
  fail "the hooks saw no change of r1 and no end of the run: $(cat /var/lib/velnor-backup/hook-events 2>&1)"
# The cron job's line sends its output to the system log: its run shows in the hooks' record.
[ -d /run/systemd/system ] || [[ $(grep -c '^run_done' /var/lib/velnor-backup/hook-events 2>/dev/null) == 2 ]] ||
  fail "the cron job's command ran no backup (runs seen by the hook: $(grep -c '^run_done' /var/lib/velnor-backup/hook-events 2>&1))"
grep -l "Subject: \[velnor-backup\] r1: configuration changed" /tmp/velnor-package-test-mail.* >/dev/null 2>&1 ||
  fail "velnor-backup-mail mailed no change of r1"
grep -h "^+secret line 1" /tmp/velnor-package-test-mail.* >/dev/null 2>&1 || fail "the mail of r1 does not show its change"
grep -h "^To: netadmin@example.org$" /tmp/velnor-package-test-mail.* >/dev/null 2>&1 ||
  fail "the mail is not to BACKUP_MAIL_TO of /etc/default/velnor-backup"
remove_test_files

echo "== The Ansible collection"
collections=/usr/share/ansible/collections/ansible_collections
ANSIBLE_NOCOLOR=1 ansible-galaxy collection list velnor.client 2>/dev/null | grep -q "velnor.client" ||
  fail "ansible-galaxy does not list the installed velnor.client"
ansible-doc velnor.client.velnor_tftp 2>&1 | grep -q "router" || fail "ansible-doc velnor.client.velnor_tftp"
# The example playbooks copied out as the README says, run against the example inventory's routers.
cp -r "$collections/velnor/client/playbooks" "$work/playbooks"
grep -q "velnor.client.velnor_tftp:" "$work/playbooks/backup.yml" || fail "the installed backup.yml does not name velnor.client.velnor_tftp"
mkdir -p "$work/ansible-fleet/osaka"
cp /usr/share/velnor-client/samples/config* "$work/ansible-fleet/"
cp /usr/share/velnor-client/samples/config* "$work/ansible-fleet/osaka/"
cat > "$work/ansible.sh" <<ANSIBLE
set -u
ip link set lo up 2>/dev/null || true
/usr/bin/velnor-router-sim --root "$work/ansible-fleet" --listen 127.0.20.1-127.0.20.2 --password secret --quiet --max-seconds 120 > "$work/sim-a.log" 2>&1 &
a=\$!
/usr/bin/velnor-router-sim --root "$work/ansible-fleet/osaka" --listen 127.0.20.3 --password kansai-7f3 --quiet --max-seconds 120 > "$work/sim-b.log" 2>&1 &
b=\$!
for _ in \$(seq 100); do grep -q serving "$work/sim-a.log" && grep -q serving "$work/sim-b.log" && break; sleep 0.05; done
cd "$work/playbooks"
status=0
env -u VELNOR_TFTP HOME="$work" ANSIBLE_NOCOLOR=1 ANSIBLE_LOCAL_TEMP="$work/ansible-tmp" ansible-playbook -i inventory/example \
    --vault-password-file inventory/example/example-vault-password.txt -e velnor_backup_dir="$work/ansible-backups" \
    backup.yml > "$work/ansible.log" 2>&1 || status=1
kill \$a \$b; wait \$a \$b 2>/dev/null
exit \$status
ANSIBLE
if unshare --net true 2>/dev/null; then
  unshare --net sh "$work/ansible.sh" || fail "ansible-playbook backup.yml with the installed collection: $(tail -n 30 "$work/ansible.log")"
else
  sh "$work/ansible.sh" || fail "ansible-playbook backup.yml with the installed collection: $(tail -n 30 "$work/ansible.log")"
fi
for host in tokyo-core-1 tokyo-core-2 osaka-edge-1; do
  cmp -s "$work/ansible-backups/$host/config0" /usr/share/velnor-client/samples/config0 || fail "the playbook fetched no config0 of $host"
done

echo "== apt-get purge"
cleanup
installed=0
trap - EXIT
left=0
while read -r path; do
  if [ -e "$path" ]; then echo "left behind: $path"; left=$((left + 1)); fi
done < <(installed_paths)
for folder in /usr/share/velnor-client /usr/share/doc/velnor-client /usr/libexec/velnor-client /etc/velnor \
              /usr/share/ansible/collections/ansible_collections/velnor /var/lib/velnor-backup \
              /etc/systemd/system/timers.target.wants/velnor-backup.timer \
              /var/lib/systemd/deb-systemd-helper-enabled/velnor-backup.timer.dsh-also \
              /var/lib/systemd/deb-systemd-helper-masked/velnor-backup.timer; do
  [ -e "$folder" ] || [ -L "$folder" ] && { echo "left behind: $folder"; left=$((left + 1)); }
done
getent passwd velnor-backup >/dev/null && { echo "left behind: the user velnor-backup"; left=$((left + 1)); }
getent group velnor-backup >/dev/null && { echo "left behind: the group velnor-backup"; left=$((left + 1)); }
((left == 0)) || fail "$left of our files are left after apt-get purge"
dpkg-query -W velnor-client >/dev/null 2>&1 && fail "dpkg still knows velnor-client"
after=$(dpkg-query -W -f='${Package}\n' | sort)
[[ $before == "$after" ]] || fail "the installed packages differ from before: $(diff <(echo "$before") <(echo "$after") | tr '\n' ' ')"

if ((failed)); then
  echo "package test: $failed failed"
  exit 1
fi
echo "package test: built, lintian-clean, installed, tried and purged"
