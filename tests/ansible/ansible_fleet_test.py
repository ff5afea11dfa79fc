#!/usr/bin/env python3
"""The Ansible module and playbooks in integrations/ansible, run with the real ansible-playbook against
simulated routers on loopback addresses of their own.

Usage: ansible_fleet_test.py CLASS [CLASS ...]   (CTest runs one class per test, so that they can run in
parallel). Environment: VELNOR_TFTP and VELNOR_ROUTER_SIM, the built programs (velnor-tftp built for the
tests, told the routers' port in VELNOR_TEST_ROUTER_PORT); VELNOR_ANSIBLE_DIR, the folder with the
playbooks. Exit status 77 (CTest's skip) when ansible-playbook is missing.
"""

import hashlib
import json
import os
import re
import shutil
import socket
import stat
import subprocess
import sys
import tempfile
import textwrap
import unittest

SKIP = 77
ANSIBLE_DIR = os.environ.get("VELNOR_ANSIBLE_DIR", "")
TFTP = os.environ.get("VELNOR_TFTP", "")
SIM = os.environ.get("VELNOR_ROUTER_SIM", "")
PLAYBOOKS = ["backup.yml", "push-config.yml", "rollout.yml"]
VAULT_PASSWORD = "fleet-test-vault"
# The playbooks' per-answer wait: a silent router costs 5 waits of 1 s instead of 25 s.
TIMEOUT = 1

# The routers' port: an unprivileged one, so that the tests need no root.
PORT = 6969
# 127.231.0.0/16 and up: clear of the addresses the C++ tests draw (127.10-209.x.y) and of 127.0.0.0/16.
FIRST_OCTET = 231


def ansible_python():
    """The Python that ansible-playbook runs on, which finds ansible's own module_utils."""
    with open(shutil.which("ansible-playbook")) as f:
        first = f.readline()
    return first[2:].strip().split()[0] if first.startswith("#!") else sys.executable


def address_free(address):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        s.bind((address, PORT))
        return True
    except OSError:
        return False
    finally:
        s.close()


def free_block(salt, count):
    """A run of `count` addresses whose router port nobody holds: the same test from another build folder
    may hold the first block."""
    for attempt in range(20):
        base = "127.%d.%d." % (FIRST_OCTET + attempt, salt)
        addresses = [base + str(i + 1) for i in range(count)]
        if all(address_free(a) for a in addresses):
            return addresses
    raise RuntimeError("no free block of loopback addresses for salt %d" % salt)


class Router:
    """One simulated router: its folder and the lines of its fleet's trace that were sent to it."""

    def __init__(self, name, address, root, trace):
        self.name, self.address, self.root, self.trace = name, address, root, trace

    def write(self, file_name, data):
        os.makedirs(self.root, exist_ok=True)
        with open(os.path.join(self.root, file_name), "wb") as f:
            f.write(data)

    def read(self, file_name):
        path = os.path.join(self.root, file_name)
        if not os.path.exists(path):
            return None
        with open(path, "rb") as f:
            return f.read()

    def received(self):
        """The hex of every datagram the router took in, in order."""
        datagrams = []
        with open(self.trace) as f:
            for line in f:
                # seconds, direction, from, "->", to, length, hex
                fields = line.split()
                if len(fields) == 7 and fields[1] == "in" and fields[4] == "%s:%d" % (self.address, PORT):
                    datagrams.append(fields[6])
        return datagrams

    def requests(self, opcode):
        """Request names the router received with this opcode (1 read, 2 write)."""
        return [bytes.fromhex(d[4:]).split(b"\0")[0].decode("latin-1")
                for d in self.received() if d.startswith("%04x" % opcode)]


class SimProcess:
    """One velnor-router-sim process playing the routers that share a password (silent ones too)."""

    def __init__(self, folder, addresses, password=None, silent=()):
        root = tempfile.mkdtemp(prefix="fleet-", dir=folder)
        self.trace = root + ".trace"
        args = [SIM, "--root", root, "--port", str(PORT), "--trace", self.trace, "--quiet",
                "--max-seconds", "600"]
        for address in addresses:
            args += ["--silent-address" if address in silent else "--listen", address]
        if password:
            args += ["--password", password]
        # A router alone serves its folder itself; in a fleet each has a folder named by its address.
        self.roots = {a: root if len(addresses) == 1 else os.path.join(root, a) for a in addresses}
        self.process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        first = self.process.stdout.readline()
        if "serving" not in first:
            self.process.wait()
            raise RuntimeError("velnor-router-sim did not start: " + first.strip())

    def stop(self):
        self.process.terminate()
        self.process.communicate(timeout=10)


class Run:
    """One ansible-playbook run: exit status, output, the recap per host, and each failed task's result."""

    RECAP = re.compile(r"^(\S+)\s+: ok=(\d+)\s+changed=(\d+)\s+unreachable=(\d+)\s+failed=(\d+)", re.M)
    FAILED = re.compile(r"^(?:fatal|failed): \[([^\]]+)\].*? => (\{.*\})$", re.M)

    def __init__(self, completed):
        self.rc, self.output = completed.returncode, completed.stdout
        self.changed = {m[1]: int(m[3]) for m in self.RECAP.finditer(self.output)}
        self.failed = {m[1]: int(m[5]) for m in self.RECAP.finditer(self.output)}
        # Every failed result per host: a loop prints one per item and then one for the task.
        self.failures = {}
        for m in self.FAILED.finditer(self.output):
            self.failures.setdefault(m[1], []).append(json.loads(m[2]))


class FleetCase(unittest.TestCase):
    """A temporary folder with an inventory, a vault and the routers of one test."""

    SALT = 0

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="velnor-ansible-")
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.routers = {}
        self.vault_file = self.path("vault-password")
        with open(self.vault_file, "w") as f:
            f.write(VAULT_PASSWORD + "\n")
        with open(self.path("ansible.cfg"), "w") as f:
            f.write("[defaults]\nretry_files_enabled = False\n")
        # Ansible's own files stay in the test's folder: an ordinary user's home may not take them.
        self.env = dict(os.environ, VELNOR_TFTP=TFTP, VELNOR_TEST_ROUTER_PORT=str(PORT),
                        ANSIBLE_CONFIG=self.path("ansible.cfg"), ANSIBLE_HOME=self.path("ansible-home"),
                        ANSIBLE_LOCAL_TEMP=self.path("ansible-tmp"), ANSIBLE_REMOTE_TMP=self.path("ansible-tmp"),
                        ANSIBLE_NOCOLOR="1", ANSIBLE_FORCE_COLOR="0", ANSIBLE_DEPRECATION_WARNINGS="0",
                        # Ansible refuses to start in a locale that is not UTF-8 (POSIX, for one).
                        LC_ALL="C.UTF-8")

    def path(self, *parts):
        return os.path.join(self.folder, *parts)

    def fleet(self, plan, password="secret", host_passwords=None):
        """Starts the routers (name -> {"password", "silent", "files"}, in inventory order), one simulator
        process for each password, and writes the inventory: the password vaulted in group_vars, and in
        host_vars for the routers in host_passwords."""
        addresses = dict(zip(plan, free_block(self.SALT, len(plan))))
        groups = {}
        for name, wanted in plan.items():
            groups.setdefault(wanted.get("password"), []).append(name)
        for router_password, names in groups.items():
            process = SimProcess(self.folder, [addresses[n] for n in names], router_password,
                                 {addresses[n] for n in names if plan[n].get("silent")})
            self.addCleanup(process.stop)
            for name in names:
                router = Router(name, addresses[name], process.roots[addresses[name]], process.trace)
                for file_name, data in plan[name].get("files", {}).items():
                    router.write(file_name, data)
                self.routers[name] = router
        hosts = {name: {"ansible_host": addresses[name]} for name in plan}
        os.makedirs(self.path("inventory", "group_vars", "routers"))
        with open(self.path("inventory", "hosts.yml"), "w") as f:
            json.dump({"routers": {"hosts": hosts}}, f)
        with open(self.path("inventory", "group_vars", "routers", "vars.yml"), "w") as f:
            f.write('velnor_password: "{{ vault_velnor_password }}"\nvelnor_timeout: %d\n' % TIMEOUT)
        self.vault(self.path("inventory", "group_vars", "routers", "vault.yml"), password)
        for name, host_password in (host_passwords or {}).items():
            os.makedirs(self.path("inventory", "host_vars", name))
            self.vault(self.path("inventory", "host_vars", name, "vault.yml"), host_password)

    def vault(self, target, password):
        encrypted = subprocess.run(
            ["ansible-vault", "encrypt_string", "--vault-password-file", self.vault_file,
             "--name", "vault_velnor_password", password],
            env=self.env, capture_output=True, text=True, check=True).stdout
        with open(target, "w") as f:
            f.write(encrypted)

    def playbook(self, name, *extra):
        completed = subprocess.run(
            ["ansible-playbook", "-i", self.path("inventory"), "--vault-password-file", self.vault_file,
             os.path.join(ANSIBLE_DIR, name)] + list(extra),
            cwd=self.folder, env=self.env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
            timeout=300)
        if os.environ.get("VELNOR_SHOW_RUNS"):
            print(completed.stdout)
        return Run(completed)


class Static(FleetCase):
    """What needs no router: the module's documentation, the playbooks' syntax, the example inventory's
    vault, and how the module hands its parameters to velnor-tftp."""

    def test_documentation_renders_with_every_option_and_return_value(self):
        out = subprocess.run(["ansible-doc", "-M", os.path.join(ANSIBLE_DIR, "library"), "velnor_tftp"],
                             env=self.env, capture_output=True, text=True)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertNotIn("WARNING", out.stderr)
        for word in ["= router", "= operation", "- src", "- dest", "- file_number", "- password",
                     "- if_changed", "- timeout", "- executable", "- record_dir", "- force", "- diff",
                     "EXAMPLES:", "RETURN VALUES:", "- changed",
                     "- code", "- class", "- message", "- router_text", "- bytes"]:
            self.assertIn(word, out.stdout)

    def test_every_playbook_passes_the_syntax_check(self):
        playbooks = sorted(p for p in os.listdir(ANSIBLE_DIR) if p.endswith(".yml"))
        self.assertEqual(playbooks, sorted(PLAYBOOKS))
        for playbook in playbooks:
            with self.subTest(playbook=playbook):
                out = subprocess.run(["ansible-playbook", "--syntax-check", "-i", "inventory/example",
                                      "--vault-password-file", "inventory/example/example-vault-password.txt",
                                      playbook], cwd=ANSIBLE_DIR, env=self.env, capture_output=True, text=True)
                self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
                self.assertNotIn("WARNING", out.stderr)

    def test_example_inventory_opens_its_vault_for_each_router(self):
        out = subprocess.run(["ansible", "routers", "-i", "inventory/example", "-m", "ansible.builtin.debug",
                              "-a", "var=velnor_password", "--vault-password-file",
                              "inventory/example/example-vault-password.txt", "-o"],
                             cwd=ANSIBLE_DIR, env=self.env, capture_output=True, text=True)
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        found = dict(re.findall(r'^(\S+) \| SUCCESS => .*"velnor_password": "([^"]*)"', out.stdout, re.M))
        self.assertEqual(found, {"tokyo-core-1": "secret", "tokyo-core-2": "secret",
                                 "osaka-edge-1": "kansai-7f3"})
        with open(os.path.join(ANSIBLE_DIR, "inventory", "example", "group_vars", "routers", "vault.yml")) as f:
            self.assertTrue(f.read().startswith("$ANSIBLE_VAULT;"))

    def module(self, program, arguments, check_mode=False):
        """Runs the module file as Ansible would hand it its arguments, without a playbook around it."""
        arguments = dict(arguments, executable=program, _ansible_check_mode=check_mode)
        out = subprocess.run([ansible_python(), os.path.join(ANSIBLE_DIR, "library", "velnor_tftp.py")],
                             input=json.dumps({"ANSIBLE_MODULE_ARGS": arguments}), cwd=self.folder,
                             env=self.env, capture_output=True, text=True)
        try:
            return json.loads(out.stdout)
        except ValueError:
            self.fail("the module printed no JSON: " + out.stdout + out.stderr)

    def stand_in(self, exit_status, result):
        """A program in velnor-tftp's place that keeps its arguments and standard input."""
        program = self.path("velnor-tftp-stand-in")
        with open(program, "w") as f:
            f.write(textwrap.dedent("""\
                #!/bin/sh
                printf '%%s\\n' "$@" > "%s/args"
                case " $* " in *" --password-file - "*) cat > "%s/stdin";; esac
                echo 'status text on standard output'
                printf '%%s\\n' '%s'
                exit %d
                """) % (self.folder, self.folder, json.dumps(result), exit_status))
        os.chmod(program, stat.S_IRWXU)
        return program

    def test_password_goes_on_standard_input_and_never_on_the_command_line(self):
        program = self.stand_in(0, {"ok": True, "changed": True, "code": None, "class": None,
                                    "message": "", "router_text": None, "bytes": 5})
        result = self.module(program, {"router": "127.0.0.1", "operation": "put", "src": "config",
                                       "file_number": 3, "password": " s3cret-x ", "if_changed": True,
                                       "timeout": 2, "rom_timeout": 30})
        self.assertFalse(result.get("failed"), result)
        self.assertTrue(result["changed"])
        self.assertEqual(result["bytes"], 5)
        with open(self.path("args")) as f:
            args = f.read().split("\n")[:-1]
        with open(self.path("stdin"), "rb") as f:
            self.assertEqual(f.read(), b" s3cret-x ")
        self.assertFalse(any("s3cret" in a for a in args), args)
        self.assertEqual(args[0], "put")
        # The local file absolute (a module's working folder is not the playbook's), after "--".
        self.assertEqual(args[-3:], ["--", "127.0.0.1", self.path("config")])
        for option in [["--json"], ["--if-changed"], ["--timeout", "2"], ["--rom-timeout", "30"],
                       ["--file-number", "3"], ["--password-file", "-"]]:
            self.assertTrue(any(args[i:i + len(option)] == option for i in range(len(args))), option)
        self.assertNotIn("--check", args)

    def test_an_empty_password_is_refused_before_velnor_tftp_runs(self):
        program = self.stand_in(0, {"ok": True, "changed": False, "bytes": 0})
        result = self.module(program, {"router": "127.0.0.1", "operation": "get", "dest": "x", "password": ""})
        self.assertTrue(result.get("failed"), result)
        self.assertIn("password is empty", result["msg"])
        self.assertFalse(os.path.exists(self.path("args")), "velnor-tftp ran")

    def test_check_mode_asks_velnor_tftp_for_a_check_and_passes_its_answer_on(self):
        for changed in (True, False):
            program = self.stand_in(0, {"ok": True, "changed": changed, "bytes": 0})
            result = self.module(program, {"router": "127.0.0.1", "operation": "revup", "src": "/x"},
                                 check_mode=True)
            self.assertEqual(result["changed"], changed)
            with open(self.path("args")) as f:
                self.assertIn("--check", f.read().split("\n"))

    def test_failures_carry_the_message_code_and_router_text(self):
        cases = [
            # exit status, result line, text the task's message holds
            # The window's wrapped text as one line: Japanese joined where the box broke it.
            (1, {"ok": False, "changed": False, "code": "0x8213", "class": "timeout", "router_text": None,
                 "message": "相手からの応答がありません\n\nLANケーブルが抜けているか、設定が間違って\nいる可能性",
                 "bytes": 0}, "相手からの応答がありません LANケーブルが抜けているか、設定が間違っている可能性 (0x8213)"),
            (1, {"ok": False, "changed": False, "code": "0x8216", "class": "refused", "message": "拒否",
                 "router_text": "Access violation", "bytes": 0}, "拒否 (0x8216); the router said: Access violation"),
            (2, {"ok": False, "changed": False, "code": None, "class": "input",
                 "message": "invalid file number", "router_text": None, "bytes": 0}, "invalid file number"),
            (2, {"ok": False, "changed": False, "code": "0x8012", "class": "local", "message": "開けません",
                 "local_file": "/srv/r7/config0", "bytes": 0}, "開けません (0x8012); local file: /srv/r7/config0"),
            (1, None, "printed no result line (exit status 1)"),
            # A success status with a failed result is a failure all the same.
            (0, {"ok": False, "message": "odd", "code": "0x8001"}, "odd (0x8001)"),
        ]
        for exit_status, line, text in cases:
            with self.subTest(exit_status=exit_status, line=line):
                program = self.stand_in(exit_status, line or "")
                result = self.module(program, {"router": "127.0.0.1", "operation": "get", "dest": "x"})
                self.assertTrue(result.get("failed"), result)
                self.assertIn(text, result["msg"])
                if line:
                    self.assertEqual(result.get("class"), line.get("class"))
                    self.assertEqual(result["rc"], exit_status)

    def test_parameters_that_do_not_fit_the_operation_are_refused_before_running(self):
        program = self.stand_in(0, {"ok": True})
        for arguments, text in [({"operation": "get", "src": "a", "dest": "b"}, "src is for put"),
                                ({"operation": "revup", "src": "a", "dest": "b"}, "dest is for get"),
                                ({"operation": "get", "dest": "b", "if_changed": True}, "if_changed is for put"),
                                ({"operation": "put"}, "missing: src"),
                                ({"operation": "get", "dest": "b", "file_number": "x"}, "file_number")]:
            with self.subTest(arguments=arguments):
                result = self.module(program, dict(arguments, router="127.0.0.1"))
                self.assertTrue(result.get("failed"), result)
                self.assertIn(text, result["msg"])
                self.assertFalse(os.path.exists(self.path("args")))
        result = self.module(self.path("no-such-program"), {"router": "127.0.0.1", "operation": "get",
                                                            "dest": "b"})
        self.assertTrue(result.get("failed"), result)
        self.assertIn("no-such-program", result["msg"])


class Backup(FleetCase):
    SALT = 1

    def test_backup_changes_only_what_the_routers_changed(self):
        files = {
            "r1": {"config0": b"hostname r1\n", "config1": b"filter 1 pass *\n"},
            # More than one block, and a length that ends on a block boundary.
            "r2": {"config0": bytes(range(256)) * 9, "config1": b"x" * 1024},
            "r3": {"config0": "ホスト名 r3\n".encode(), "config1": b"ip lan1 address 192.0.2.1/24\n"},
        }
        self.fleet({"r1": {"password": "secret", "files": files["r1"]},
                    "r2": {"password": "secret", "files": files["r2"]},
                    # A router with a password of its own, vaulted in its host_vars.
                    "r3": {"password": "r3-own", "files": files["r3"]}},
                   host_passwords={"r3": "r3-own"})
        backups = self.path("backups")
        extra = ["-e", json.dumps({"velnor_backup_dir": backups, "velnor_config_numbers": [0, 1]})]

        first = self.playbook("backup.yml", *extra)
        self.assertEqual(first.rc, 0, first.output)
        self.assertEqual(first.changed, {"r1": 1, "r2": 1, "r3": 1})
        self.assertEqual(sorted(os.listdir(backups)), ["r1", "r2", "r3"])
        for host, router_files in files.items():
            # Exactly the router's files: no scratch file of an interrupted save left beside them.
            self.assertEqual(sorted(os.listdir(os.path.join(backups, host))), ["config0", "config1"])
            for name, data in router_files.items():
                with open(os.path.join(backups, host, name), "rb") as f:
                    self.assertEqual(f.read(), data, host + "/" + name)

        second = self.playbook("backup.yml", *extra)
        self.assertEqual(second.rc, 0, second.output)
        self.assertEqual(second.changed, {"r1": 0, "r2": 0, "r3": 0})

        self.routers["r2"].write("config1", b"x" * 1023 + b"y")
        third = self.playbook("backup.yml", *extra)
        self.assertEqual(third.rc, 0, third.output)
        self.assertEqual(third.changed, {"r1": 0, "r2": 1, "r3": 0})
        with open(os.path.join(backups, "r2", "config1"), "rb") as f:
            self.assertEqual(f.read(), b"x" * 1023 + b"y")

    def test_diff_shows_the_change_of_a_stored_copy(self):
        self.fleet({"r1": {"password": "secret", "files": {"config0": b"hostname r1\nmtu 1500\n"}},
                    "r2": {"password": "secret", "files": {"config0": b"hostname r2\n"}}})
        backups = self.path("backups")
        extra = ["-e", "velnor_backup_dir=" + backups]
        self.assertEqual(self.playbook("backup.yml", *extra).rc, 0)
        self.routers["r1"].write("config0", b"hostname r1\nmtu 9000\n")
        run = self.playbook("backup.yml", "--diff", *extra)
        self.assertEqual(run.rc, 0, run.output)
        self.assertEqual(run.changed, {"r1": 1, "r2": 0})
        copy = os.path.join(backups, "r1", "config0")
        self.assertIn("--- before: %s (before)\n+++ after: %s\n" % (copy, copy), run.output)
        self.assertIn(" hostname r1\n-mtu 1500\n+mtu 9000\n", run.output)
        self.assertNotIn("hostname r2", run.output)
        self.assertNotIn("secret", run.output)

    def test_wrong_password_fails_that_router_with_its_own_text(self):
        self.fleet({"r1": {"password": "Pw-4711-vault", "files": {"config0": b"one\n"}},
                    "r2": {"password": "another-one", "files": {"config0": b"two\n"}},
                    "r3": {"password": "Pw-4711-vault", "files": {"config0": b"three\n"}}},
                   password="Pw-4711-vault")
        backups = self.path("backups")
        run = self.playbook("backup.yml", "-e", "velnor_backup_dir=" + backups)
        self.assertNotEqual(run.rc, 0, run.output)
        self.assertEqual(run.failed, {"r1": 0, "r2": 1, "r3": 0})
        self.assertEqual(run.changed, {"r1": 1, "r2": 0, "r3": 1})
        item = run.failures["r2"][0]
        self.assertEqual(item["class"], "refused")
        self.assertEqual(item["router_text"], "Access violation")
        self.assertIn("Access violation", item["msg"])
        self.assertEqual(os.listdir(os.path.join(backups, "r2")), [])
        self.assertTrue(os.path.exists(os.path.join(backups, "r3", "config0")))
        # The vaulted password reached the routers, and never the output.
        self.assertEqual(self.routers["r1"].requests(1), ["config0/***"])
        self.assertNotIn("Pw-4711-vault", run.output)


class PushConfig(FleetCase):
    SALT = 2

    def test_check_sends_no_write_and_the_real_run_writes_only_what_differs_once(self):
        old, new = b"hostname old\n", b"hostname new\n" * 60
        self.fleet({"r1": {"password": "secret", "files": {"config0": old}},
                    "r2": {"password": "secret", "files": {"config0": new}},
                    "r3": {"password": "secret", "files": {"config0": old}}})
        configs = self.path("configs")
        for host in ("r1", "r2", "r3"):
            os.makedirs(os.path.join(configs, host))
            with open(os.path.join(configs, host, "config0"), "wb") as f:
                f.write(new)
        extra = ["-e", "velnor_config_dir=" + configs]

        check = self.playbook("push-config.yml", "--check", *extra)
        self.assertEqual(check.rc, 0, check.output)
        self.assertEqual(check.changed, {"r1": 1, "r2": 0, "r3": 1})
        for name, router in self.routers.items():
            self.assertEqual(router.requests(2), [], name)
            self.assertEqual(router.requests(1), ["config0/***"], name)
        self.assertEqual(self.routers["r1"].read("config0"), old)

        real = self.playbook("push-config.yml", *extra)
        self.assertEqual(real.rc, 0, real.output)
        self.assertEqual(real.changed, {"r1": 1, "r2": 0, "r3": 1})
        self.assertEqual({n: len(r.requests(2)) for n, r in self.routers.items()}, {"r1": 1, "r2": 0, "r3": 1})
        for name, router in self.routers.items():
            self.assertEqual(router.read("config0"), new, name)

        again = self.playbook("push-config.yml", *extra)
        self.assertEqual(again.rc, 0, again.output)
        self.assertEqual(again.changed, {"r1": 0, "r2": 0, "r3": 0})
        self.assertEqual({n: len(r.requests(2)) for n, r in self.routers.items()}, {"r1": 1, "r2": 0, "r3": 1})


    def test_check_diff_shows_every_routers_change_and_writes_nothing(self):
        binary = bytes(range(256)) * 3
        self.fleet({"r1": {"password": "Pw-diff-31", "files": {"config0": b"hostname old\nmtu 1500\n"}},
                    "r2": {"password": "Pw-diff-31", "files": {"config0": b"hostname same\n"}},
                    "r3": {"password": "Pw-diff-31", "files": {"config0": binary}},
                    # A router that has no such file yet: everything is added.
                    "r4": {"password": "Pw-diff-31", "files": {"config1": b"other\n"}}},
                   password="Pw-diff-31")
        configs = self.path("configs")
        sent = {"r1": b"hostname new\nmtu 1500\n", "r2": b"hostname same\n", "r3": b"text now\n",
                "r4": b"hostname r4\n"}
        for host, data in sent.items():
            os.makedirs(os.path.join(configs, host))
            with open(os.path.join(configs, host, "config0"), "wb") as f:
                f.write(data)
        run = self.playbook("push-config.yml", "--check", "--diff", "-e", "velnor_config_dir=" + configs)
        self.assertEqual(run.rc, 0, run.output)
        self.assertEqual(run.changed, {"r1": 1, "r2": 0, "r3": 1, "r4": 1})
        header = "--- before: router %s, file 0\n+++ after: %s\n"
        r1 = header % (self.routers["r1"].address, os.path.join(configs, "r1", "config0"))
        self.assertIn(r1 + "@@ -1,2 +1,2 @@\n-hostname old\n+hostname new\n mtu 1500\n", run.output)
        self.assertIn("-binary file, 768 bytes, SHA-256 %s\n+binary file, 9 bytes, SHA-256 %s\n"
                      % (hashlib.sha256(binary).hexdigest()[:16], hashlib.sha256(sent["r3"]).hexdigest()[:16]),
                      run.output)
        self.assertIn("+hostname r4\n", run.output)
        self.assertNotIn("hostname same", run.output)
        self.assertNotIn("Pw-diff-31", run.output)
        for name, router in self.routers.items():
            self.assertEqual(router.requests(2), [], name)
        self.assertEqual(self.routers["r1"].read("config0"), b"hostname old\nmtu 1500\n")


class Rollout(FleetCase):
    SALT = 3
    HOSTS = ["r%d" % i for i in range(1, 8)]

    def setUp(self):
        super().setUp()
        self.image = self.path("firmware.bin")
        with open(self.image, "wb") as f:
            f.write(bytes((i * 7) & 0xFF for i in range(1500)))
        with open(self.image, "rb") as f:
            self.image_bytes = f.read()

    def rollout(self, *extra):
        return self.playbook("rollout.yml", "-e", json.dumps({"velnor_firmware": self.image,
                                                               "velnor_rollout_state": self.path("state"),
                                                               "velnor_firmware_slot": 0,
                                                               "velnor_read_retries": 0}), *extra)

    def test_batches_write_every_router_and_read_each_back_after_its_flash_write(self):
        self.fleet({h: {"password": "secret", "files": {"config0": b"c\n"}} for h in self.HOSTS})
        run = self.rollout()
        self.assertEqual(run.rc, 0, run.output)
        self.assertEqual(run.changed, {h: 1 for h in self.HOSTS})
        # serial [1, 5, "20%"] over 7 routers: batches of 1, 5 and 1.
        self.assertEqual(run.output.count("PLAY [Revision up in stages]"), 3, run.output)
        for name, router in self.routers.items():
            self.assertEqual(router.read("exec0"), self.image_bytes, name)
            self.assertEqual(router.requests(2), ["exec0"], name)
            self.assertEqual(router.requests(1), ["config0/***"], name)
            kinds = [d[:4] for d in router.received()]
            self.assertLess(kinds.index("0002"), kinds.index("0001"), name)

    def test_silent_router_in_the_first_batch_stops_the_rollout_there(self):
        plan = {h: {"password": "secret", "files": {"config0": b"c\n"}} for h in self.HOSTS}
        plan["r1"] = {"password": "secret", "silent": True}
        self.fleet(plan)
        run = self.rollout()
        self.assertNotEqual(run.rc, 0, run.output)
        # Only the first batch ran: the recap names r1 alone.
        self.assertEqual(run.failed, {"r1": 1})
        failure = run.failures["r1"][0]
        self.assertEqual(failure["class"], "timeout")
        # The inventory's one-second wait reached velnor-tftp: five tries, not the router's 25 s.
        self.assertLess(failure["seconds"], 10)
        # The first request and its four repetitions, then nothing more.
        self.assertEqual(self.routers["r1"].requests(2), ["exec0"] * 5)
        for name in self.HOSTS[1:]:
            self.assertEqual(self.routers[name].received(), [], name)
            self.assertIsNone(self.routers[name].read("exec0"), name)

    def test_check_mode_writes_to_no_router(self):
        self.fleet({h: {"password": "secret", "files": {"config0": b"c\n"}} for h in self.HOSTS[:3]})
        run = self.rollout("--check")
        self.assertEqual(run.rc, 0, run.output)
        for name, router in self.routers.items():
            self.assertEqual(router.requests(2), [], name)
            self.assertIsNone(router.read("exec0"), name)


    def test_a_rerun_flashes_only_routers_without_the_image_and_check_lists_them(self):
        hosts = self.HOSTS[:3]
        self.fleet({h: {"password": "secret", "files": {"config0": b"c\n"}} for h in hosts})
        # A first run that reached r1 only, as a rollout stopped after its first batch.
        first = self.rollout("--limit", "r1")
        self.assertEqual(first.rc, 0, first.output)
        digest = hashlib.sha256(self.image_bytes).hexdigest()
        with open(self.path("state", self.routers["r1"].address + ".sha256")) as f:
            self.assertEqual(f.read(), digest + "\n")

        check = self.rollout("--check")
        self.assertEqual(check.rc, 0, check.output)
        self.assertEqual(check.changed, {"r1": 0, "r2": 1, "r3": 1})
        for name in ("r2", "r3"):
            self.assertIn("%s (%s) would be flashed with %s" % (name, self.routers[name].address, digest),
                          check.output)
        self.assertNotIn("r1 (%s) would be flashed" % self.routers["r1"].address, check.output)

        again = self.rollout()
        self.assertEqual(again.rc, 0, again.output)
        self.assertEqual(again.changed, {"r1": 0, "r2": 1, "r3": 1})
        self.assertEqual({n: r.requests(2) for n, r in self.routers.items()}, {h: ["exec0"] for h in hosts})
        # The read after the flash write, for the flashed routers only.
        self.assertEqual({n: r.requests(1) for n, r in self.routers.items()},
                         {"r1": ["config0/***"], "r2": ["config0/***"], "r3": ["config0/***"]})

        forced = self.rollout("-e", "velnor_force=true", "--limit", "r2")
        self.assertEqual(forced.rc, 0, forced.output)
        self.assertEqual(forced.changed, {"r2": 1})
        self.assertEqual(self.routers["r2"].requests(2), ["exec0", "exec0"])

        # A new image: every router again.
        with open(self.image, "ab") as f:
            f.write(b"9.03")
        new = self.rollout()
        self.assertEqual(new.changed, {h: 1 for h in hosts})


def main():
    names = sys.argv[1:]
    if shutil.which("ansible-playbook") is None:
        print("SKIP: ansible-playbook is not installed (scripts/deps.sh installs Debian's ansible-core)")
        return SKIP
    for variable, value in [("VELNOR_ANSIBLE_DIR", ANSIBLE_DIR), ("VELNOR_TFTP", TFTP), ("VELNOR_ROUTER_SIM", SIM)]:
        if not value:
            print("%s is not set" % variable)
            return 1
    classes = [globals()[n] for n in names]
    suite = unittest.TestSuite(unittest.defaultTestLoader.loadTestsFromTestCase(c) for c in classes)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
