#!/usr/bin/python
# -*- coding: utf-8 -*-
# A task-sized wrapper around velnor-tftp's one-line JSON result, so that a fleet of routers is driven
# by Ansible's inventories, vaults, batches and check mode rather than by a loop of our own.

from __future__ import annotations

DOCUMENTATION = r"""
---
module: velnor_tftp
short_description: Fetch or send a router's configuration, or send it new firmware, over TFTP
description:
  - Runs C(velnor-tftp --json) on the control host for one router and reports the result line it prints.
  - Run it on the control host, with the play's C(connection) set to C(local) or the task delegated to
    C(localhost). The router is reached over TFTP (UDP port 69) from there; nothing runs on the router itself.
  - The password reaches velnor-tftp on its standard input (C(--password-file -)), never on its command line.
  - In check mode velnor-tftp runs with C(--check). It checks the input, the local file and its size, and
    sends no write request to the router; nothing is written to the router or to a local file. With
    I(if_changed) it reads the router's file and C(changed) tells whether a put would change it.
  - A failed transfer (velnor-tftp's exit status 1) and refused input (exit status 2) fail the task with
    the message, its code and the router's own error text.
  - In diff mode (C(--diff)) C(put) first reads the router's file of that number and returns the change
    from it to I(src); C(get) returns the change of I(dest). With C(--check --diff) a playbook of puts
    shows every router's change and writes nothing. The password is never part of a diff.
  - With I(record_dir), C(revup) keeps, per router, the SHA-256 of the image it last accepted, and
    sends an image again only with I(force).
author:
  - Velnor Client developers
requirements:
  - velnor-tftp 1.21 or later (with C(--json)) on the control host
options:
  router:
    description:
      - The router's IPv4 address in dotted decimal form.
    type: str
    required: true
  operation:
    description:
      - C(get) fetches a configuration file into I(dest).
      - C(put) sends I(src) as a configuration file.
      - C(revup) sends the firmware image I(src); the router then writes it into its flash ROM.
    type: str
    required: true
    choices: [get, put, revup]
  src:
    description:
      - The local file to send. Required for C(put) and C(revup).
    type: path
  dest:
    description:
      - The local file to write. Required for C(get). Its folder must exist.
      - It is replaced only once the whole file has arrived; after a failure the old file is still there.
    type: path
  file_number:
    description:
      - The router's file number, 0-4 for configuration files and 0-1 for firmware slots.
      - Without it the router's default file (its number 0).
    type: int
  password:
    description:
      - The router password for configuration files, at most 32 bytes. Keep it in a vault.
      - Leave it out for a router without a password; an empty one is refused (a vault variable that
        came out empty would otherwise send the request without the password meant).
      - Firmware names carry no password; it is not needed for C(revup).
    type: str
  if_changed:
    description:
      - For C(put) only. First read the router's file of that number and compare it byte for byte with
        I(src); when they are equal nothing more is sent and the task reports no change.
    type: bool
    default: false
  timeout:
    description:
      - Seconds to wait for each answer of the router, 1-60. A router that stays silent is given up after
        five such waits.
      - Without it velnor-tftp's default, the router's own 5 seconds.
    type: int
  rom_timeout:
    description:
      - Seconds to wait for the router's last answer while it writes its flash ROM, 10-3600.
      - Without it velnor-tftp's default, 180 seconds.
    type: int
  record_dir:
    description:
      - For C(revup) only. A folder on the control host (created when missing, mode 0700) with one small
        file per router, C(ROUTER.sha256), holding the SHA-256 of the image the router last accepted.
      - A router whose record names the SHA-256 of I(src) is not flashed again and reports no change,
        so that a rollout can be run again after a partial failure. A flash that succeeds writes the
        record; check mode writes none.
    type: path
  force:
    description:
      - For C(revup) with I(record_dir). Flash even when the record says the router has this image.
    type: bool
    default: false
  executable:
    description:
      - The velnor-tftp program to run, as a path or a name looked up on the control host's C(PATH).
      - Without it, the environment variable C(VELNOR_TFTP), or else C(velnor-tftp) on C(PATH).
    type: path
notes:
  - Supports check mode and diff mode.
  - Routers serve one transfer at a time. Ansible's forks run different routers in parallel; do not run
    two tasks against the same router at once.
"""

EXAMPLES = r"""
- name: Back up configuration file 0 of every router
  velnor_tftp:
    router: "{{ ansible_host }}"
    operation: get
    file_number: 0
    dest: "{{ backup_dir }}/{{ inventory_hostname }}/config0"
    password: "{{ velnor_password }}"
  delegate_to: localhost

- name: Send a configuration only where the router holds other bytes
  velnor_tftp:
    router: "{{ ansible_host }}"
    operation: put
    file_number: 1
    src: "configs/{{ inventory_hostname }}/config1"
    password: "{{ velnor_password }}"
    if_changed: true
  delegate_to: localhost

- name: Revision up into firmware slot 0, giving a silent router up after 5 seconds
  velnor_tftp:
    router: "{{ ansible_host }}"
    operation: revup
    file_number: 0
    src: /srv/firmware/router-9.02.bin
    timeout: 1
  delegate_to: localhost
"""

RETURN = r"""
changed:
  description:
    - C(get) changed the local file's bytes; C(put) sent the file (with I(if_changed), only when the router
      held other bytes); C(revup) succeeded.
    - In check mode, what a real run would do where velnor-tftp can tell without writing; C(put) with
      I(if_changed) reads the router's file to tell. A C(get) in check mode reads nothing and reports no
      change.
  returned: always
  type: bool
code:
  description: The result code of a failure as velnor-tftp and the window show it; null on success.
  returned: always
  type: str
  sample: "0x8213"
class:
  description:
    - What failed; null on success. C(input) refused before sending, C(local) the local file,
      C(network) the socket or the network, C(timeout) no answer, C(refused) the router answered with an
      error, C(protocol) the router broke the protocol.
  returned: always
  type: str
  sample: refused
message:
  description: The text for the result, as the window shows it.
  returned: always
  type: str
router_text:
  description: The router's own error text when it refused; null otherwise.
  returned: always
  type: str
  sample: Access violation
bytes:
  description: Bytes transferred.
  returned: always
  type: int
  sample: 2048
seconds:
  description: Time the transfer took.
  returned: when velnor-tftp reports it
  type: float
file_number:
  description: The router's file number, or null for its default file.
  returned: when velnor-tftp reports it
  type: int
local_file:
  description: The local file's absolute path.
  returned: when velnor-tftp reports it
  type: str
sha256:
  description: The SHA-256 of the image (C(revup) with I(record_dir)).
  returned: when record_dir is given
  type: str
diff:
  description:
    - In diff mode, C(before) and C(after) with their headers (the router's file and I(src) for C(put),
      the old and the new I(dest) for C(get)). A file that is not UTF-8 text is shown by its size.
  returned: in diff mode, for put and get
  type: dict
rc:
  description: velnor-tftp's exit status (0 success, 1 the transfer failed, 2 input refused).
  returned: always
  type: int
"""

import hashlib
import json
import os
import re
import tempfile

from ansible.module_utils.basic import AnsibleModule, env_fallback

# velnor-tftp's exit statuses.
EXIT_OK = 0
EXIT_FAILED = 1
EXIT_REFUSED = 2
# The code of a read that found no such file on the router.
NO_SUCH_FILE = "0x8216"

# Fields of the result line that the task reports as they are; the line may gain fields later.
RESULT_FIELDS = ("code", "class", "message", "router_text", "bytes", "seconds", "file_number", "local_file")


def build_command(program, params, check_mode):
    """velnor-tftp's arguments for the task, and whether the password goes to its standard input."""
    operation = params["operation"]
    local = params["dest"] if operation == "get" else params["src"]
    args = [program, operation, "--json", "--quiet"]
    if check_mode:
        args.append("--check")
    if params["if_changed"]:
        args.append("--if-changed")
    if params["file_number"] is not None:
        args += ["--file-number", str(params["file_number"])]
    if params["timeout"] is not None:
        args += ["--timeout", str(params["timeout"])]
    if params["rom_timeout"] is not None:
        args += ["--rom-timeout", str(params["rom_timeout"])]
    # "-" names standard input, fed from the task below.
    has_password = params["password"] is not None
    if has_password:
        args += ["--password-file", "-"]
    # "--" keeps a router or a file name that starts with "-" from being read as an option. The local
    # file is made absolute here: a module's working folder is not the playbook's.
    args += ["--", params["router"], os.path.abspath(local)]
    return args, has_password


def parse_result(stdout):
    """The last line that holds a JSON object: velnor-tftp prints exactly one, at the end."""
    for line in reversed(stdout.splitlines()):
        line = line.strip()
        if line.startswith("{"):
            try:
                value = json.loads(line)
            except ValueError:
                return None
            return value if isinstance(value, dict) else None
    return None


def one_line(text):
    """The window's message, wrapped for its box, as one line for a task's result. Japanese lines were
    broken mid-sentence and join without a space; paragraphs and other lines join with one."""
    paragraphs = []
    for paragraph in text.replace("\r\n", "\n").split("\n\n"):
        joined = ""
        for line in (part.strip() for part in paragraph.split("\n")):
            if not line:
                continue
            if joined and (joined[-1].isascii() or line[0].isascii()):
                joined += " "
            joined += line
        if joined:
            paragraphs.append(joined)
    return " ".join(paragraphs)


def failure_text(result, rc):
    message = one_line(result.get("message") or "") or "velnor-tftp failed (exit status %d)" % rc
    code = result.get("code")
    text = "%s (%s)" % (message, code) if code else message
    if result.get("router_text"):
        text += "; the router said: %s" % result["router_text"]
    # The window's text does not name the file; across a fleet the path tells which one.
    if result.get("class") == "local" and result.get("local_file"):
        text += "; local file: %s" % result["local_file"]
    return text


def is_text(data):
    if b"\0" in data:
        return False
    try:
        data.decode("utf-8")
    except UnicodeDecodeError:
        return False
    return True


def diff_of(before, after, before_header, after_header):
    """Ansible's diff of two files' bytes; a file that is not UTF-8 text is shown by its size."""
    diff = {"before_header": before_header, "after_header": after_header}
    if is_text(before) and is_text(after):
        diff["before"], diff["after"] = before.decode("utf-8"), after.decode("utf-8")
    else:
        # The size and the start of the SHA-256, so that two binary files of one size still differ.
        diff["before"], diff["after"] = ("binary file, %d bytes, SHA-256 %s\n"
                                         % (len(data), hashlib.sha256(data).hexdigest()[:16])
                                         for data in (before, after))
    return diff


def read_bytes(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


def router_file(module, program, params):
    """The router's file that a put would replace, read into a private scratch file; b"" when the router
    has no such file yet, None when it cannot be read (the put then reports why)."""
    folder = tempfile.mkdtemp(prefix="velnor-diff-", dir=module.tmpdir)
    scratch = os.path.join(folder, "router")
    read = dict(params, operation="get", dest=scratch, src=None, if_changed=False)
    args, has_password = build_command(program, read, False)
    rc, stdout, _ = module.run_command(args, data=params["password"] if has_password else None, binary_data=True)
    result = parse_result(stdout) or {}
    try:
        if rc == EXIT_OK and result.get("ok"):
            return read_bytes(scratch)
        return b"" if result.get("code") == NO_SUCH_FILE else None
    finally:
        if os.path.exists(scratch):
            os.remove(scratch)
        os.rmdir(folder)


def router_header(params):
    number = params["file_number"]
    return "router %s, %s" % (params["router"], "file %d" % number if number is not None else "default file")


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 16), b""):
            digest.update(block)
    return digest.hexdigest()


def write_record(folder, router, digest):
    """The router's record, replaced in one step."""
    os.makedirs(folder, mode=0o700, exist_ok=True)
    fd, temporary = tempfile.mkstemp(prefix=".%s." % router, dir=folder)
    with os.fdopen(fd, "w") as f:
        f.write(digest + "\n")
    os.replace(temporary, os.path.join(folder, router + ".sha256"))


def main():
    module = AnsibleModule(
        argument_spec=dict(
            router=dict(type="str", required=True),
            operation=dict(type="str", required=True, choices=["get", "put", "revup"]),
            src=dict(type="path"),
            dest=dict(type="path"),
            file_number=dict(type="int"),
            password=dict(type="str", no_log=True),
            if_changed=dict(type="bool", default=False),
            timeout=dict(type="int"),
            rom_timeout=dict(type="int"),
            record_dir=dict(type="path"),
            force=dict(type="bool", default=False),
            executable=dict(type="path", fallback=(env_fallback, ["VELNOR_TFTP"])),
        ),
        required_if=[
            ("operation", "get", ["dest"]),
            ("operation", "put", ["src"]),
            ("operation", "revup", ["src"]),
        ],
        supports_check_mode=True,
    )
    params = module.params
    operation = params["operation"]
    # Each operation has one local file; the other one given is a mistake in the task, not a detail.
    if operation == "get" and params["src"] is not None:
        module.fail_json(msg="src is for put and revup; get writes to dest")
    if operation != "get" and params["dest"] is not None:
        module.fail_json(msg="dest is for get; %s reads src" % operation)
    if params["if_changed"] and operation != "put":
        module.fail_json(msg="if_changed is for put only")
    if params["password"] == "":
        module.fail_json(msg="password is empty: leave it out for a router without a password")
    if params["record_dir"] is not None and operation != "revup":
        module.fail_json(msg="record_dir is for revup only")
    if params["force"] and params["record_dir"] is None:
        module.fail_json(msg="force goes with record_dir")
    if params["record_dir"] is not None and not re.fullmatch(r"[0-9A-Za-z_-][0-9A-Za-z._-]*", params["router"]):
        module.fail_json(msg="router %r cannot name a record file" % params["router"])

    program = params["executable"] or "velnor-tftp"
    if os.sep not in program:
        program = module.get_bin_path(program, required=True)

    # A router that already accepted this very image is left alone.
    digest = None
    if params["record_dir"] is not None:
        try:
            digest = sha256_of(params["src"])
        except OSError as e:
            module.fail_json(msg="cannot read the image %s: %s" % (params["src"], e.strerror), rc=EXIT_REFUSED)
        record = read_bytes(os.path.join(params["record_dir"], params["router"] + ".sha256"))
        if not params["force"] and record is not None and record.decode("ascii", "replace").strip() == digest:
            module.exit_json(changed=False, rc=EXIT_OK, sha256=digest, code=None, router_text=None, bytes=0,
                             message="the router accepted this image already; nothing was sent")

    diff = None
    if module._diff and operation == "put":
        before = router_file(module, program, params)
        after = read_bytes(params["src"])
        if before is not None and after is not None:
            diff = diff_of(before, after, router_header(params), params["src"])
    old_dest = read_bytes(params["dest"]) if module._diff and operation == "get" else None

    args, has_password = build_command(program, params, module.check_mode)
    rc, stdout, stderr = module.run_command(
        args, data=params["password"] if has_password else None, binary_data=True
    )
    result = parse_result(stdout)
    if result is None:
        module.fail_json(
            msg="velnor-tftp printed no result line (exit status %d): %s"
            % (rc, stderr.strip() or stdout.strip() or "no output"),
            rc=rc, stdout=stdout, stderr=stderr,
        )

    # Standard error repeats the message for a person; only its warnings (a password file that others
    # can read, for instance) are news to the task.
    for line in stderr.splitlines():
        if line.startswith("velnor-tftp: warning: "):
            module.warn(line[len("velnor-tftp: warning: "):])
    fields = {name: result[name] for name in RESULT_FIELDS if name in result}
    fields["rc"] = rc
    if digest is not None:
        fields["sha256"] = digest
    if module._diff and operation == "get" and not module.check_mode:
        new_dest = read_bytes(params["dest"])
        if new_dest is not None:
            diff = diff_of(old_dest or b"", new_dest, params["dest"] + " (before)", params["dest"])
    if diff is not None:
        fields["diff"] = diff
    if rc != EXIT_OK or not result.get("ok", False):
        # A put whose last answer was lost may have replaced the router's file all the same; the result
        # line says so, and the task passes it on.
        module.fail_json(msg=failure_text(result, rc), changed=bool(result.get("changed", False)), **fields)
    if digest is not None and not module.check_mode:
        try:
            write_record(params["record_dir"], params["router"], digest)
        except OSError as e:
            module.warn("the router took the image, but its record in %s was not written: %s"
                        % (params["record_dir"], e.strerror))
    module.exit_json(changed=bool(result.get("changed", False)), **fields)


if __name__ == "__main__":
    main()
