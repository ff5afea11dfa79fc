#!/usr/bin/env bash
# The example hook velnor-backup-mail as velnor-tftp backup runs it: one event in its environment, a
# real git repository of copies, and a sendmail of the test's own on PATH that keeps its arguments and
# the mail. Each row of the table is one event; the mail must name the router and hold what the event
# is about, and carry no header that the router's name or text could have added.
# Usage: backup_mail_test.sh SOURCE-FOLDER
set -uo pipefail
src=${1:?usage: backup_mail_test.sh SOURCE-FOLDER}
hook=$src/packaging/service/velnor-backup-mail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }

# The sendmail: its arguments one a line in args, the mail in mail; exits with $FAKE_SENDMAIL_STATUS.
mkdir -p "$work/bin"
cat > "$work/bin/sendmail" <<'FAKE'
#!/bin/sh
printf '%s\n' "$@" > "$FAKE_SENDMAIL_DIR/args"
cat > "$FAKE_SENDMAIL_DIR/mail"
exit "${FAKE_SENDMAIL_STATUS:-0}"
FAKE
chmod 755 "$work/bin/sendmail"

# The backup's folder: two nights of core-1, the second one changing its admin password line.
out=$work/configs
git init -q "$out" && git -C "$out" config user.email t@example.org && git -C "$out" config user.name test
printf 'hostname core-1\nadmin password old-secret\n' > "$out/core-1.conf"
printf 'hostname core-2\n' > "$out/core-2.conf"
git -C "$out" add . && git -C "$out" commit -qm "night 1"
printf 'hostname core-1\nadmin password new-secret\n' > "$out/core-1.conf"
printf 'hostname core-2\nntp 192.0.2.9\n' > "$out/core-2.conf"
git -C "$out" commit -qam "night 2"
commit=$(git -C "$out" rev-parse HEAD)

# Runs the hook with the event's variables (NAME=VALUE ...) in an environment of its own; leaves its
# status in $status and the mail in $work/mail (removed before each run).
run() {
    rm -f "$work/args" "$work/mail"
    status=0
    env -i PATH="$work/bin:/usr/bin:/bin" HOME="$work" FAKE_SENDMAIL_DIR="$work" "$@" "$hook" \
        > "$work/stdout" 2> "$work/stderr" || status=$?
}
mailed() { [[ -f $work/mail ]]; }
has() { grep -qF -- "$1" "$work/mail" || fail "$2: the mail lacks \"$1\": $(cat "$work/mail" 2>/dev/null)"; }
lacks() { ! grep -qF -- "$1" "$work/mail" || fail "$2: the mail holds \"$1\""; }
header_count() { sed '/^$/q' "$work/mail" | grep -c "^$1:"; }

common=(VELNOR_ADDRESS=192.0.2.1 VELNOR_FILE="$out/core-1.conf" VELNOR_COMMIT="$commit")

# changed: the commit's change of this router's copy, and nothing of the other router's.
run VELNOR_EVENT=changed VELNOR_ROUTER=core-1 "${common[@]}" BACKUP_MAIL_TO="netadmin@example.org ops@example.org"
((status == 0)) || fail "changed: exit status $status: $(cat "$work/stderr")"
if mailed; then
    has "Subject: [velnor-backup] core-1: configuration changed" changed
    has "To: netadmin@example.org, ops@example.org" changed
    has "-admin password old-secret" changed
    has "+admin password new-secret" changed
    has "core-1.conf" changed
    lacks "ntp 192.0.2.9" changed
    has "Content-Type: text/plain; charset=UTF-8" changed
    [[ $(cat "$work/args") == $'-oi\n--\nnetadmin@example.org\nops@example.org' ]] ||
        fail "changed: sendmail got the arguments $(tr '\n' ' ' < "$work/args")"
else
    fail "changed: no mail"
fi

# A caller's GIT_DIR does not lead the hook to another repository.
git init -q "$work/other"
run VELNOR_EVENT=changed VELNOR_ROUTER=core-1 "${common[@]}" GIT_DIR="$work/other/.git"
mailed && has "+admin password new-secret" "changed with GIT_DIR set"

# Table: event | extra variables | lines the mail must hold (separated by |)
while IFS='|' read -r event extra expect; do
    # shellcheck disable=SC2086
    run VELNOR_EVENT="$event" VELNOR_ROUTER=core-1 "${common[@]}" $extra
    ((status == 0)) || { fail "$event: exit status $status: $(cat "$work/stderr")"; continue; }
    mailed || { fail "$event: no mail"; continue; }
    IFS=';' read -ra lines <<< "$expect"
    for line in "${lines[@]}"; do has "$line" "$event"; done
    [[ $(cat "$work/args") == $'-oi\n--\nroot' ]] || fail "$event: not mailed to root by default"
    # Only a change mails the copy's lines.
    [[ $event == changed ]] || lacks "new-secret" "$event"
done <<'TABLE'
failed|VELNOR_CODE=0x8213 VELNOR_CLASS=timeout VELNOR_CONSECUTIVE_FAILURES=1 VELNOR_MESSAGE=no-answer VELNOR_LAST_SUCCESS=2026-12-01T02:15:09Z|Subject: [velnor-backup] core-1: backup failed;Message:   no-answer (0x8213);Class:     timeout;Failures in a row: 1;Last backup: 2026-12-01T02:15:09Z
recovered|VELNOR_CONSECUTIVE_FAILURES=0 VELNOR_LAST_SUCCESS=2026-12-09T02:15:09Z|Subject: [velnor-backup] core-1: backed up again;Router:    core-1 (192.0.2.1)
stale|VELNOR_CONSECUTIVE_FAILURES=3 VELNOR_LAST_SUCCESS=2026-12-06T02:15:09Z|Subject: [velnor-backup] core-1: no backup since 2026-12-06T02:15:09Z;Failures in a row: 3
TABLE

# A Japanese message reaches the body as it is (UTF-8), never the subject.
run VELNOR_EVENT=failed VELNOR_ROUTER=core-1 VELNOR_MESSAGE="ルーターから応答がありません" VELNOR_CODE=0x8213
mailed && has "ルーターから応答がありません (0x8213)" "failed in Japanese"

# A name or text with line breaks adds no header: one Subject, one To, nothing of "Bcc".
run VELNOR_EVENT=failed VELNOR_ROUTER=$'core-1\nBcc: victim@example.org' BACKUP_MAIL_TO=$'root\nBcc: x@example.org'
if mailed; then
    [[ $(header_count Subject) == 1 && $(header_count To) == 1 && $(header_count Bcc) == 0 ]] ||
        fail "a name with a line break added headers: $(sed '/^$/q' "$work/mail")"
else
    fail "failed with a line break in the name: no mail"
fi

# run_done is not mailed unless asked for; then with the run's counts and no mail settings.
run VELNOR_EVENT=run_done VELNOR_ROUTERS=3 VELNOR_FAILED=1
((status == 0)) && ! mailed || fail "run_done was mailed by default (status $status)"
run VELNOR_EVENT=run_done VELNOR_ROUTERS=3 VELNOR_FAILED=1 BACKUP_MAIL_EVENTS="failed run_done"
mailed && { has "VELNOR_ROUTERS=3" run_done; has "VELNOR_FAILED=1" run_done; lacks "BACKUP_MAIL_EVENTS" run_done; } ||
    fail "run_done asked for: no mail"
run VELNOR_EVENT=changed VELNOR_ROUTER=core-1 "${common[@]}" BACKUP_MAIL_EVENTS="failed"
((status == 0)) && ! mailed || fail "changed was mailed though only failed was asked for"

# Run by hand: says so, exit 2, no mail. A failing sendmail fails the hook.
run
((status == 2)) && ! mailed && grep -q "VELNOR_EVENT is not set" "$work/stderr" ||
    fail "without an event: status $status, stderr $(cat "$work/stderr")"
run VELNOR_EVENT=failed VELNOR_ROUTER=core-1 FAKE_SENDMAIL_STATUS=75
((status != 0)) || fail "a failing sendmail left the hook's status 0"

if ((failed)); then
    echo "backup mail: $failed failed"
    exit 1
fi
echo "backup mail: every event mailed as expected"
