"""scripts/install-deps's decisions, against stand-ins for apt-get, dpkg,
dpkg-query, id and mount that answer as a half-synced mirror, a broken plan, a
held lock and a machine with everything installed do (apt 2.6's own words)."""
import json
import os
import shutil
import subprocess
import tempfile
import threading
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT = os.path.join(HERE, "..", "..", "scripts", "install-deps")

HOST = "cmake ninja-build make g++ python3 libgtest-dev googletest libbenchmark-dev pkg-config libhivex-dev libcreg-dev".split()
TOOLS = "g++-mingw-w64-i686 g++-mingw-w64-x86-64 clang libclang-rt-14-dev valgrind".split()
WINE = ["wine", "wine64", "wine32:i386"]
EVERYTHING = HOST + TOOLS + WINE

MIRROR = """Get:1 http://deb.debian.org/debian bookworm InRelease [151 kB]
Get:3 http://deb.debian.org/debian-security bookworm-security InRelease [34.8 kB]
Err:5 http://deb.debian.org/debian-security bookworm-security/main i386 Packages
  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 203.0.113.80 80]
Reading package lists...
E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 203.0.113.80 80]
   Hashes of expected file:
    - Filesize:376004 [weak]
E: Some index files failed to download. They have been ignored, or old ones used instead.
"""
BROKEN = """Reading package lists...
Some packages could not be installed. This may mean that you have
requested an impossible situation.
The following packages have unmet dependencies:
 libdw1:i386 : Depends: liblzma5:i386 (>= 5.1.1alpha+20120614) but it is not going to be installed
 wine32:i386 : Depends: libwine:i386 (= 8.0~repack-4) but it is not going to be installed
E: Unable to correct problems, you have held broken packages.
"""
REMOVES_WINE64 = """The following packages will be REMOVED:
  wine64
Remv wine64 [8.0~repack-4]
Inst libwine:i386 (8.0~repack-4 Debian:12.15/oldstable [i386])
"""
LOCK_LISTS = """Reading package lists...
E: Could not get lock /var/lib/apt/lists/lock. It is held by process 4321 (apt-get)
E: Unable to lock directory /var/lib/apt/lists/
"""
LOCK_DPKG = """Waiting for cache lock: Could not get lock /var/lib/dpkg/lock-frontend. It is held by process 4321 (apt-get)...
E: Unable to acquire the dpkg frontend lock (/var/lib/dpkg/lock-frontend), is another process using it?
"""
NO_VALGRIND = "E: Unable to locate package valgrind\n"

# apt-get answers from the rules in state.json and logs each call; dpkg,
# dpkg-query, id and mount are shell (the script asks dpkg-query once a package).
# The packages installed are the lines of "installed", foreign architectures
# those of "foreign".
SHELL_STAND_INS = {
    "id": "echo 0",
    "mount": "exit 32",
    "dpkg": 'here=$(dirname "$0")\ncase $1 in\n--print-foreign-architectures) cat "$here/foreign" ;;\n'
            '--add-architecture) echo "$2" >>"$here/foreign" ;;\nesac',
    "dpkg-query": 'for last; do :; done\ngrep -qxF -- "$last" "$(dirname "$0")/installed" || '
                  '{ echo "dpkg-query: no packages found matching $last" >&2; exit 1; }\nprintf installed',
}
APT_GET = r'''#!/usr/bin/env python3
import json, os, sys
here = os.path.dirname(os.path.abspath(__file__))
rules = json.load(open(os.path.join(here, "state.json")))["rules"]
args = sys.argv[1:]
with open(os.path.join(here, "calls"), "a") as log:
    log.write(" ".join(args) + "\n")
words, skip = [], False
for a in args:
    if skip or a in ("-o", "-t"):
        skip = not skip
    elif not a.startswith("-"):
        words.append(a)
command, packages = words[0], words[1:]
for rule in rules:
    if rule["on"] in (["update"] if command == "update" else args) and \
            all(u not in args for u in rule.get("unless", [])):
        sys.stdout.write(rule["out"])
        sys.exit(rule["status"])
if command == "install" and "-s" not in args:
    with open(os.path.join(here, "installed"), "a") as f:
        f.write("".join(p + "\n" for p in packages))
    if "qemu-user" in packages:
        qemu = os.environ["MORIX_QEMU_I386"]
        open(qemu, "w").write("#!/bin/sh\necho 'qemu-i386 version 10.0.2'\n")
        os.chmod(qemu, 0o755)
        os.remove(os.path.join(os.environ["MORIX_BINFMT"], "qemu-arm"))
'''


class InstallDepsTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.dir)
        self.bin = os.path.join(self.dir, "bin")
        os.makedirs(self.bin)
        self.write("bin/apt-get", APT_GET, 0o755)
        for name, text in SHELL_STAND_INS.items():
            self.write("bin/" + name, "#!/bin/sh\n" + text + "\n", 0o755)
        self.os_release = self.write("os-release", "ID=debian\nVERSION_CODENAME=bookworm\n")

    def write(self, name, text, mode=0o644):
        path = os.path.join(self.dir, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)
        os.chmod(path, mode)
        return path

    def run_script(self, installed, rules, foreign=("i386",), probe=42, env=None):
        with open(os.path.join(self.bin, "state.json"), "w") as f:
            json.dump({"rules": rules}, f)
        self.write("bin/installed", "".join(p + "\n" for p in installed))
        self.write("bin/foreign", "".join(a + "\n" for a in foreign))
        probe = self.write("probe", "#!/bin/sh\nexit %d\n" % probe, 0o755) if isinstance(probe, int) else probe
        run_env = dict(os.environ, PATH=self.bin + ":" + os.environ["PATH"], MORIX_OS_RELEASE=self.os_release,
                       MORIX_APT_RETRY_WAIT="0", MORIX_I386_PROBE=probe, MORIX_BINFMT=os.path.join(self.dir, "binfmt"),
                       MORIX_APT_ETC=os.path.join(self.dir, "apt"), MORIX_QEMU_I386=os.path.join(self.dir, "qemu-i386"),
                       MORIX_QEMU_BINFMT_D=os.path.join(self.dir, "qemu-binfmt.d"), **(env or {}))
        result = subprocess.run(["bash", SCRIPT], env=run_env, capture_output=True, text=True, timeout=60)
        calls = self.read("bin/calls").splitlines()
        if calls:
            os.remove(os.path.join(self.bin, "calls"))
        return result.returncode, result.stdout + result.stderr, calls, set(self.read("bin/installed").split())

    def read(self, name):
        path = os.path.join(self.dir, name)
        if not os.path.exists(path):
            return ""
        with open(path) as f:
            return f.read()

    def test_decisions(self):
        mirror = {"on": "update", "status": 100, "out": MIRROR}
        broken = {"on": "wine32:i386", "unless": ["-t"], "status": 100, "out": BROKEN}
        cases = [
            # name, installed before, apt's answers, exit status, installed after,
            # what it says, apt-get calls (each a substring, in order)
            ("everything installed", EVERYTHING, [], 0, EVERYTHING, [], []),
            ("half-synced mirror", HOST, [mirror, broken], 0, EVERYTHING,
             ["install-deps: apt-get update could not fetch the index bookworm-security/main/binary-i386 "
              "(File has unexpected size (374820 != 376004). Mirror sync in progress?); going on with the "
              "indexes apt has.",
              "installed it with amd64 and i386 both from bookworm."],
             ["update", "update", "update", "install -y g++-mingw-w64-i686", "install -y clang",
              "install -y valgrind", "install -y wine wine64 wine32:i386",
              "install -s -t bookworm wine wine64 wine32:i386", "install -y -t bookworm wine wine64 wine32:i386"]),
            ("plan that removes, one package not there", HOST, [
                mirror, broken, {"on": "-s", "status": 0, "out": REMOVES_WINE64},
                {"on": "valgrind", "status": 100, "out": NO_VALGRIND}], 1,
             HOST + TOOLS[:-1] + WINE[:2],
             ["install-deps: not installed: valgrind (the host-valgrind tests): Unable to locate package valgrind",
              "install-deps: not installed: wine32:i386 (32-bit Wine: the i686 build's Wine tests): Unable to "
              "correct problems, you have held broken packages. (first: libdw1:i386 : Depends: liblzma5:i386 "
              "(>= 5.1.1alpha+20120614) but it is not going to be installed); with amd64 and i386 both from "
              "bookworm: apt would remove wine64; refused"],
             ["install -s -t bookworm wine wine64 wine32:i386", "install -y wine wine64\n"]),
            ("held lock", HOST[:3], [{"on": "update", "status": 100, "out": LOCK_LISTS},
                                     {"on": "install", "status": 100, "out": LOCK_DPKG}], 1, HOST[:3],
             ["install-deps: apt-get update: another program holds the package manager's lock; run "
              "scripts/install-deps again when it has finished.",
              "install-deps: not installed: wine wine64 wine32:i386 (the Wine tests): another program holds"],
             ["update"]),
            ("lock taken after the update", HOST[:3], [{"on": "install", "status": 100, "out": LOCK_DPKG}], 1,
             HOST[:3], ["install-deps: not installed: g++ python3"], ["update", "install -y g++"]),
        ]
        for name, before, rules, status, after, says, calls in cases:
            with self.subTest(name):
                got_status, out, got_calls, got_after = self.run_script(before, rules)
                self.assertEqual(got_status, status, out)
                self.assertEqual(got_after, set(after), out)
                for line in says:
                    self.assertIn(line, out)
                log = "\n".join(got_calls) + "\n"
                position = 0
                for call in calls:
                    found = log.find(call, position)
                    self.assertGreaterEqual(found, 0, "no %r after position %d in\n%s" % (call, position, log))
                    position = found + len(call)
                if not calls:
                    self.assertEqual(got_calls, [], out)
                    self.assertEqual(out, "")
                if "lock" in name:
                    self.assertEqual(len(got_calls), len(calls), log)

    def test_qemu_user_upgrade_keeps_other_architectures(self):
        # Debian 12's qemu-user-static is there with an entry for arm; the
        # kernel runs no 32-bit programs. qemu-user 10 is installed with
        # qemu-user-static named too, and the arm entry its upgrade took away
        # is registered again from qemu-user 10's own definition.
        binfmt = os.path.join(self.dir, "binfmt")
        self.write("binfmt/qemu-arm", "enabled\ninterpreter /usr/libexec/qemu-binfmt/arm-binfmt-P\n")
        self.write("qemu-binfmt.d/qemu-arm.conf", ":qemu-arm:M::\\x7fELF:\\xff:/usr/bin/qemu-arm:F\n")
        self.write("apt/sources.list.d/debian.sources", "Types: deb\nURIs: http://deb.example.org/debian\n"
                   "Suites: bookworm\nComponents: main\n")
        registered = os.path.join(self.dir, "registered")
        register = os.path.join(binfmt, "register")
        os.mkfifo(register)

        def read_register():
            while True:
                with open(register) as fifo, open(registered, "a") as log:
                    log.write(fifo.read() + "\n")
        threading.Thread(target=read_register, daemon=True).start()
        probe = self.write("probe", "#!/bin/sh\nfor i in 1 2 3 4 5 6 7 8 9 10; do\n"
                           "  grep -q ':qemu-i386:' %s 2>/dev/null && exit 42; sleep 0.1\ndone\nexit 1\n"
                           % registered, 0o755)
        status, out, calls, after = self.run_script(EVERYTHING + ["qemu-user-static"], [], probe=probe)
        self.assertEqual(status, 0, out)
        for mode in ("-s", "-y"):
            self.assertIn("install %s -t bookworm-backports --no-install-recommends qemu-user qemu-user-static"
                          % mode, "\n".join(calls))
        lines = self.read("registered")
        self.assertIn(":qemu-arm:M::\\x7fELF:\\xff:/usr/bin/qemu-arm:F", lines)
        self.assertIn(":qemu-i386:M::", lines)
        self.assertIn("registered qemu-user 10.0.2", out)
        self.assertIn("Suites: bookworm-backports", self.read("apt/sources.list.d/morix-bookworm-backports.sources"))


if __name__ == "__main__":
    unittest.main()
