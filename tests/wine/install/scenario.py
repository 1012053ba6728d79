#!/usr/bin/env python3
"""Installs and removes the kit's package with Wine's Windows Installer.

    scenario.py boot PREFIX
    scenario.py NAME --base PREFIX --work DIR --package MSI --probe EXE [--reg-view 32|64]

`boot` makes a fresh prefix. Every other name runs one scenario in a copy of
that prefix (WORK/prefix), drives the installer through krt-msiprobe and checks
what it left on the machine: the runtime's files, the machine Path value, the
test COM servers' registrations, and the messages the installer passed to the
probe's UI handler. The copy is deleted when the scenario passes. Registry
keys are read and written in the view of the package's processes (--reg-view:
32 for an x86 package, whose keys under SOFTWARE land in WOW6432Node).
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

ENV_KEY = r"HKLM\System\CurrentControlSet\Control\Session Manager\Environment"
COM_KEY = r"HKLM\SOFTWARE\KRTKit\TestComServers"
ROOT = "C:\\Apps\\Kit\\"
RUNTIME_FILES = ["zqcommgr.dll", "zqcomutil.dll", "kvlkrtrt71.dll"]
COM_SERVERS = ["zqcommgr.dll", "zqcomutil.dll"]

INSTALLMESSAGE_PROGRESS = 0x0A000000
ERROR_MESSAGE = 0x03000000 | 0x10  # user message, error icon, OK button
RESET = [None, 0, 8800, 0]
COM_FAILURE = "Aborting installation - Could not register COM servers."


class Failure(Exception):
    pass


class Skip(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failure(what)


def runtime_folder(root):
    return root + "v71\\runtime\\win32"


class Prefix:
    def __init__(self, path, reg_view="64"):
        self.path = os.path.abspath(path)
        self.reg_view = reg_view
        # The Unix locale of every Wine call, which decides Wine's ANSI and
        # console code pages, and the encoding in which the console tools
        # (reg) write their output.
        self.locale_env = {}
        self.console_encoding = "latin-1"

    def use_japanese_locale(self):
        """Runs every later Wine call under the Japanese code page (932)."""
        self.locale_env = dict(LOCPATH=japanese_locale(), LANG=JA_LOCALE, LC_ALL=JA_LOCALE)
        self.console_encoding = "cp932"

    def env(self, extra=None):
        env = {k: v for k, v in os.environ.items() if not k.startswith("KVLKRT_")}
        env.update(WINEPREFIX=self.path, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        env.update(self.locale_env)
        env.update(extra or {})
        return env

    def unix(self, windows_path):
        """The file behind a C:\\ path of this prefix."""
        check(windows_path[:3].upper() == "C:\\", "not a C: path: " + windows_path)
        return os.path.join(self.path, "drive_c", *[p for p in windows_path[3:].split("\\") if p])

    def start_server(self):
        # One server for the whole scenario rather than one per call; it
        # ends by itself shortly after its last process if stop() never comes.
        subprocess.run([WINESERVER, "-p10"], env=self.env(), stdin=subprocess.DEVNULL, check=True)

    def wine(self, args, env=None, timeout=300):
        # The streams go to files, not pipes: the server and Wine's own
        # background processes inherit them and would hold a pipe open.
        start = time.monotonic()
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            status = subprocess.run([WINE] + args, cwd=self.unix("C:\\"), env=self.env(env),
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                    timeout=timeout).returncode
            out.seek(0)
            err.seek(0)
            result = subprocess.CompletedProcess(args, status, out.read(), err.read())
        print("wine %s: status %d, %.1f s" % (" ".join(args), status, time.monotonic() - start))
        return result

    def reg(self, verb, key, *args):
        return self.wine(["reg", verb, key] + list(args) + ["/reg:" + self.reg_view])

    def reg_values(self, key, *args):
        """{name: (type, data)} of the values of key, {} when it does not exist.
        Value names are matched without regard to case, as the registry does:
        they are given here in lower case."""
        out = self.reg("query", key, *args)
        if out.returncode != 0:
            # Under load a query now and then fails for a key that is there;
            # a second answer of "not found" is taken as the truth.
            out = self.reg("query", key, *args)
        values = {}
        if out.returncode != 0:
            return values
        for line in out.stdout.decode(self.console_encoding).splitlines():
            line = line.rstrip("\r")
            if not line.startswith("    "):
                continue
            parts = line[4:].split("    ", 2)
            if len(parts) == 3:
                values[parts[0].lower()] = (parts[1], parts[2])
            elif len(parts) == 2:
                values[parts[0].lower()] = (parts[1], "")
        return values

    def machine_path(self):
        values = self.reg_values(ENV_KEY, "/v", "Path")
        check("path" in values, "the machine environment has no Path value")
        return values["path"]

    def set_machine_path(self, text):
        out = self.reg("add", ENV_KEY, "/v", "Path", "/t", "REG_EXPAND_SZ", "/d", text, "/f")
        check(out.returncode == 0, "reg add Path failed: %r" % out.stderr)
        check(self.machine_path() == ("REG_EXPAND_SZ", text), "Path was not set to %r" % text)

    def stop(self):
        subprocess.run([WINESERVER, "-k"], env=self.env(), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class Run:
    """One run of krt-msiprobe and what its event log holds."""

    def __init__(self, prefix, action, props=(), cancel_at=None, package="KRTKit.msi"):
        events = "C:\\krt-test\\%s.jsonl" % action
        args = ["C:\\krt-test\\krt-msiprobe.exe", "--events", events]
        if cancel_at is not None:
            args += ["--cancel-at", str(cancel_at)]
        args += [action, "C:\\krt-test\\" + package] + list(props)
        out = prefix.wine(args)
        if not os.path.isfile(prefix.unix(events)) and out.returncode == 1 and not out.stderr:
            # In WoW64 mode a 32-bit program started just after an
            # installation now and then ends at once with status 1 and no
            # output. The probe had not opened its event log, so the installer
            # never ran: starting it again changes nothing on the machine.
            print("the probe ended before it started; once more")
            out = prefix.wine(args)
        self.messages = []
        self.code = None
        check(os.path.isfile(prefix.unix(events)), "the probe wrote no event log (status %d, stderr %r)"
              % (out.returncode, out.stderr.decode("latin-1")))
        with open(prefix.unix(events), encoding="ascii") as log:
            for line in log:
                event = json.loads(line)
                if event["event"] == "message":
                    self.messages.append((event["type"], event["fields"]))
                elif event["event"] == "result":
                    check(event["action"] == action, "result line names %r" % event["action"])
                    self.code = event["code"]
        check(self.code is not None, "the probe wrote no result line")
        # Wine hands the exit status on in its low byte only.
        check(out.returncode == self.code & 0xFF,
              "probe exit status %d for result %d" % (out.returncode, self.code))

    def expect_code(self, code):
        check(self.code == code, "installer returned %d, expected %d" % (self.code, code))

    def error_messages(self):
        return [fields for t, fields in self.messages if t == ERROR_MESSAGE]

    def expect_no_errors(self):
        check(self.error_messages() == [], "error messages: %r" % self.error_messages())

    def progress(self):
        """The custom action's progress records, in order: the three-field
        resets of 8800 ticks and increments of N ticks. The installer's own
        records have four fields."""
        return [fields for t, fields in self.messages
                if t == INSTALLMESSAGE_PROGRESS and len(fields) == 4 and fields[0] is None
                and (fields == RESET or fields[1] == 2)]


def expect_one_reset_then_increments(run):
    """The ticks of each increment record, after exactly one reset record."""
    progress = run.progress()
    check(progress[:1] == [RESET], "progress records do not start with one reset: %r" % progress[:3])
    increments = progress[1:]
    check(all(f[1] == 2 and isinstance(f[2], int) and f[2] >= 0 and f[3] == 0 for f in increments),
          "records other than (2, N, 0) increments after the reset: %r" % increments[:5])
    return [f[2] for f in increments]


def expect_one_path_entry(prefix, before, root):
    check(prefix.machine_path() == (before[0], before[1] + ";" + runtime_folder(root)),
          "Path is %r, expected the entry once behind %r" % (prefix.machine_path(), before))


def expect_runtime(prefix, root, present):
    for name in RUNTIME_FILES:
        path = prefix.unix(runtime_folder(root) + "\\" + name)
        check(os.path.isfile(path) == present,
              "%s %s" % (path, "missing" if present else "still there"))


def expect_com(prefix, registered):
    values = prefix.reg_values(COM_KEY)
    for name, root in registered.items():
        if root is None:
            check(name.lower() not in values, "%s is registered" % name)
        else:
            want = ("REG_SZ", runtime_folder(root) + "\\" + name)
            check(values.get(name.lower()) == want, "%s registration is %r, expected %r" % (name, values.get(name.lower()), want))


def dorvak(prefix, exe, args, env=None, debug=None):
    extra = dict(env or {})
    if debug:
        extra["WINEDEBUG"] = debug
    out = prefix.wine([exe] + args, env=extra)
    lines = out.stdout.decode("latin-1").replace("\r\n", "\n").splitlines()
    return out.returncode, lines, out.stderr.decode("latin-1")


# ---- Scenarios ----------------------------------------------------------------

def scenario_lifecycle(prefix):
    """Install, run the launcher through the machine Path, remove."""
    before = prefix.machine_path()

    install = Run(prefix, "install", ["TARGETDIR=" + ROOT])
    install.expect_code(0)
    install.expect_no_errors()
    expect_runtime(prefix, ROOT, True)
    expect_one_path_entry(prefix, before, ROOT)
    expect_com(prefix, {name: ROOT for name in COM_SERVERS})
    # One tick per line of the payload program (it prints one line per file
    # it lays down); the first record waits for the first line. Commit stops
    # at the first check that sees the program ended, so a program that
    # outruns it leaves lines unread: fewer is fine.
    lines = len(RUNTIME_FILES)
    ticks = expect_one_reset_then_increments(install)
    check(ticks and 1 <= sum(ticks) <= lines,
          "%d ticks in %d increments for %d payload lines" % (sum(ticks), len(ticks), lines))

    # The launcher lives in bin\, away from the runtime library: it can only
    # find kvlkrtrt71.dll through the machine Path.
    launcher = ROOT + "bin\\dorvak.exe"
    check(not os.path.exists(prefix.unix(ROOT + "bin\\kvlkrtrt71.dll")), "kvlkrtrt71.dll beside dorvak.exe")
    status, lines_out, _ = dorvak(prefix, launcher, ["a", "b"], env={"KVLKRT_RESULT": "5"})
    check(status == 5, "dorvak exit status %d, expected 5" % status)
    check(lines_out == [launcher, "a", "b"], "dorvak printed %r" % lines_out)
    # A copy kept outside the install root, to start after the removal.
    kept = "C:\\krt-test\\keep\\dorvak.exe"
    os.makedirs(os.path.dirname(prefix.unix(kept)), exist_ok=True)
    shutil.copy(prefix.unix(launcher), prefix.unix(kept))
    status, lines_out, _ = dorvak(prefix, kept, [])
    check(status == 0 and lines_out == [kept], "kept dorvak copy: status %d, %r" % (status, lines_out))

    remove = Run(prefix, "remove")
    remove.expect_code(0)
    remove.expect_no_errors()
    check(not os.path.exists(prefix.unix(ROOT + "v71")), "the version folder is still there")
    check(prefix.machine_path() == before, "Path after removal is %r, before install %r"
          % (prefix.machine_path(), before))
    expect_com(prefix, {name: ROOT for name in COM_SERVERS})

    status, lines_out, err = dorvak(prefix, kept, ["a"], debug="-all,err+module")
    check(status != 0 and lines_out == [], "dorvak ran after removal: status %d, %r" % (status, lines_out))
    check("kvlkrtrt71.dll" in err and "not found" in err, "dorvak failed for another reason: %r" % err)


def write_file(prefix, windows_path, text):
    path = prefix.unix(windows_path)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)


def scenario_cancel(prefix):
    """Cancel at the third increment: a user exit, no error, nothing changed."""
    before = prefix.machine_path()
    # Commit stops reading at the first poll that sees the payload program
    # ended, so a quick program can end before the third line is read. This
    # one keeps running a while after its output, so every line is read.
    write_file(prefix, ROOT + "_KRTInstaller.cfg", "linger 3000\n")
    run = Run(prefix, "install", ["TARGETDIR=" + ROOT], cancel_at=3)
    run.expect_code(1602)
    run.expect_no_errors()
    check(len(expect_one_reset_then_increments(run)) == 3, "Commit went on after the cancel: %r" % run.progress())
    check(prefix.machine_path() == before, "Path changed to %r" % (prefix.machine_path(),))
    expect_com(prefix, {name: None for name in COM_SERVERS})


def scenario_exit_259(prefix):
    """A payload that ends with exit code 259 (STILL_ACTIVE) once its output
    has ended: Commit sees it ended and completes by itself."""
    write_file(prefix, ROOT + "_KRTInstaller.cfg", "linger 500\nexit 259\n")
    # A Commit that mistook the exit code for a running program would send
    # records without end; the cancel stops it instead of hanging the test.
    limit = 1000
    run = Run(prefix, "install", ["TARGETDIR=" + ROOT], cancel_at=limit)
    ticks = expect_one_reset_then_increments(run)
    check(len(ticks) < limit, "Commit kept sending records: %d" % len(ticks))
    run.expect_code(0)
    run.expect_no_errors()
    check(sum(ticks) == len(RUNTIME_FILES), "%d ticks for %d payload lines" % (sum(ticks), len(RUNTIME_FILES)))
    expect_runtime(prefix, ROOT, True)
    expect_com(prefix, {name: ROOT for name in COM_SERVERS})


def scenario_com_failure(prefix):
    """zqcomutil.dll's DllRegisterServer fails: the message, then a user exit."""
    # The test COM server fails with the HRESULT in the file beside it.
    write_file(prefix, runtime_folder(ROOT) + "\\zqcomutil.dll.cfg", "0x80004005\n")
    run = Run(prefix, "install", ["TARGETDIR=" + ROOT])
    run.expect_code(1602)
    check(run.error_messages() == [[COM_FAILURE, None, None]], "error messages: %r" % run.error_messages())
    # Registered in order: the first server stays registered.
    expect_com(prefix, {"zqcommgr.dll": ROOT, "zqcomutil.dll": None})


def scenario_path_sub(prefix):
    """A longer entry that starts with the runtime folder is another entry."""
    entry = runtime_folder(ROOT)
    sub = entry + "\\sub"
    preset = prefix.machine_path()[1] + ";" + sub
    prefix.set_machine_path(preset)

    Run(prefix, "install", ["TARGETDIR=" + ROOT]).expect_code(0)
    check(prefix.machine_path() == ("REG_EXPAND_SZ", preset + ";" + entry),
          "Path after install is %r" % (prefix.machine_path(),))
    Run(prefix, "remove").expect_code(0)
    check(prefix.machine_path() == ("REG_EXPAND_SZ", preset),
          "Path after removal is %r" % (prefix.machine_path(),))


def scenario_other_root(prefix):
    """A root with spaces given at install only: removal finds it again."""
    root = "C:\\Other Root\\Kit\\"
    before = prefix.machine_path()
    Run(prefix, "install", ["TARGETDIR=" + root]).expect_code(0)
    expect_runtime(prefix, root, True)
    check(not os.path.exists(prefix.unix(ROOT)), "something was installed under " + ROOT)
    expect_one_path_entry(prefix, before, root)
    Run(prefix, "remove").expect_code(0)
    check(not os.path.exists(prefix.unix(root + "v71")), "the version folder is still there")
    check(prefix.machine_path() == before, "Path after removal is %r" % (prefix.machine_path(),))


def scenario_rollback_disabled(prefix):
    """Without rollback the installer skips commit actions: the package refuses."""
    before = prefix.machine_path()
    Run(prefix, "install", ["TARGETDIR=" + ROOT, "DISABLEROLLBACK=1"]).expect_code(1603)
    check(not os.path.exists(prefix.unix(ROOT + "v71")), "the runtime was laid down")
    check(prefix.machine_path() == before, "Path changed to %r" % (prefix.machine_path(),))


def scenario_double_byte_root(prefix):
    """Under the Japanese code page, a root ending in a character whose second
    byte is the backslash byte (表 is 0x95 0x5C in code page 932)."""
    prefix.use_japanese_locale()
    root = "C:\\Data\u8868\\"
    before = prefix.machine_path()
    install = Run(prefix, "install", ["TARGETDIR=" + root])
    install.expect_code(0)
    install.expect_no_errors()
    expect_runtime(prefix, root, True)
    check(not os.path.exists(prefix.unix("C:\\Data")), "something was installed under C:\\Data")
    expect_one_path_entry(prefix, before, root)
    expect_com(prefix, {name: root for name in COM_SERVERS})

    remove = Run(prefix, "remove")
    remove.expect_code(0)
    remove.expect_no_errors()
    check(not os.path.exists(prefix.unix(root + "v71")), "the version folder is still there")
    check(prefix.machine_path() == before, "Path after removal is %r" % (prefix.machine_path(),))


def scenario_drive_root(prefix):
    """The root of drive C: the runtime goes to C:\\v71, never to the folder
    that C: alone names (the drive's current folder)."""
    root = "C:\\"
    before = prefix.machine_path()
    # The payload program writes down the arguments it parsed.
    write_file(prefix, root + "_KRTInstaller.cfg", "args\n")
    install = Run(prefix, "install", ["TARGETDIR=" + root])
    install.expect_code(0)
    install.expect_no_errors()
    with open(prefix.unix(root + "_KRTInstaller.args"), "rb") as f:
        args = f.read().decode("ascii").splitlines()
    check(args == ["-o", "-d", "C:\\"], "the payload program was given %r" % args)
    expect_runtime(prefix, root, True)
    check(prefix.machine_path() == (before[0], before[1] + ";C:\\v71\\runtime\\win32"),
          "Path after install is %r" % (prefix.machine_path(),))
    expect_com(prefix, {name: root for name in COM_SERVERS})

    remove = Run(prefix, "remove")
    remove.expect_code(0)
    remove.expect_no_errors()
    check(not os.path.exists(prefix.unix("C:\\v71")), "the version folder is still there")
    check(os.path.isdir(prefix.unix("C:\\windows")), "the drive's own folders were touched")
    check(prefix.machine_path() == before, "Path after removal is %r" % (prefix.machine_path(),))


# ---- Upgrades -----------------------------------------------------------------
# The package built as the next minor version (--newer) replaces the installed
# one: RemoveExistingProducts removes the older product before the newer one's
# installation script. The older product's Uninstall is guarded by NOT
# UPGRADINGPRODUCTCODE; an engine that sets the property skips it, one that
# does not (Wine removes the older product with a plain REMOVE=ALL) runs it.
# Either way the newer Commit leaves the runtime and one Path entry.

NEWER = "KRTKit-newer.msi"
# Where the installer registers products, in either registry view.
UNINSTALL_KEYS = [r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall",
                  r"HKLM\Software\Wow6432Node\Microsoft\Windows\CurrentVersion\Uninstall"]
REMEMBERED_ROOT_KEY = r"HKLM\SOFTWARE\KRTKit\Kit"
INSTALLMESSAGE_INFO = 0x04000000
ACTION_ENDED = "Action ended [Time]: [1]. Return value [2]."
BOX_MESSAGES = (0x01000000, 0x02000000, 0x03000000)  # error, warning, user
DOWNGRADE_REFUSED = "A newer version of KRT Kit is already installed."
# Put in the version folder before an upgrade: still there afterwards when
# the older Uninstall did not run.
MARKER = "v71\\krt-upgrade-marker"


def products(prefix):
    """{product code: version} of the kit's products that the installer has
    registered, from the Uninstall keys."""
    text = "".join(prefix.wine(["reg", "query", view, "/s"]).stdout.decode("latin-1") for view in UNINSTALL_KEYS)
    found, key, values = {}, None, {}
    for line in text.splitlines() + ["HKEY_END"]:
        line = line.rstrip("\r")
        if line.startswith("HKEY_"):
            if values.get("DisplayName") == "KRT Kit":
                found[key.rsplit("\\", 1)[-1]] = values.get("DisplayVersion")
            key, values = line, {}
        elif line.startswith("    "):
            parts = line[4:].split("    ", 2)
            values[parts[0]] = parts[2] if len(parts) == 3 else ""
    return found


def version_tuple(text):
    return tuple(int(part) for part in text.split("."))


def expect_installed(prefix, before, root):
    """The runtime under root, its folder once on the Path, the COM servers
    registered from it, and the launcher, away from the runtime library,
    finding it through the Path."""
    expect_runtime(prefix, root, True)
    expect_one_path_entry(prefix, before, root)
    expect_com(prefix, {name: root for name in COM_SERVERS})
    launcher = root + "bin\\dorvak.exe"
    status, lines_out, err = dorvak(prefix, launcher, ["x"])
    check(status == 0 and lines_out == [launcher, "x"],
          "dorvak: status %d, %r, %r" % (status, lines_out, err))


def install_then_upgrade(prefix, older_root, newer_props):
    """Installs the older package into older_root, then the newer one over it.
    Returns whether the older product's Uninstall ran during the upgrade."""
    Run(prefix, "install", ["TARGETDIR=" + older_root]).expect_code(0)
    older = products(prefix)
    check(len(older) == 1, "products after the first install: %r" % older)
    write_file(prefix, older_root + MARKER, "")

    upgrade = Run(prefix, "install", newer_props, package=NEWER)
    upgrade.expect_code(0)
    upgrade.expect_no_errors()
    newer = products(prefix)
    check(len(newer) == 1 and set(newer) != set(older), "products after the upgrade: %r (before %r)" % (newer, older))
    check(version_tuple(*newer.values()) > version_tuple(*older.values()), "upgraded from %r to %r" % (older, newer))
    return not os.path.exists(prefix.unix(older_root + MARKER))


def snapshot(prefix, root):
    """What an installation changes: products, Path, COM registrations,
    remembered root, and every file under root with its size and time."""
    files = []
    for folder, _, names in os.walk(prefix.unix(root)):
        for name in names:
            info = os.stat(os.path.join(folder, name))
            files.append((os.path.join(folder, name), info.st_size, info.st_mtime_ns))
    return (products(prefix), prefix.machine_path(), prefix.reg_values(COM_KEY),
            prefix.reg_values(REMEMBERED_ROOT_KEY), sorted(files))


def scenario_upgrade(prefix):
    """The package in a root of its own, then the newer one without a root:
    one product, in the remembered root; the older package again is refused;
    removing the newer one restores the Path."""
    root = "C:\\Older Root\\Kit\\"
    before = prefix.machine_path()
    install_then_upgrade(prefix, root, [])
    check(not os.path.exists(prefix.unix(ROOT)), "the upgrade installed into the default root")
    expect_installed(prefix, before, root)

    # A downgrade: the launch condition refuses it before anything is done.
    # Wine hands the condition's text to no UI handler at the probe's UI
    # level; an installer that hands it over must hand over that text.
    state = snapshot(prefix, root)
    downgrade = Run(prefix, "install", [])
    downgrade.expect_code(1603)
    ended = [fields[1:] for t, fields in downgrade.messages
             if t == INSTALLMESSAGE_INFO and fields[:2] == [ACTION_ENDED, "LaunchConditions"]]
    check(ended == [["LaunchConditions", 0]], "LaunchConditions did not refuse: %r" % ended)
    shown = [fields for t, fields in downgrade.messages if t & 0xFF000000 in BOX_MESSAGES]
    check(all(DOWNGRADE_REFUSED in str(fields) for fields in shown), "messages of the refusal: %r" % shown)
    check(snapshot(prefix, root) == state, "the refused downgrade changed the machine")

    remove = Run(prefix, "remove", package=NEWER)
    remove.expect_code(0)
    remove.expect_no_errors()
    check(products(prefix) == {}, "products after removal: %r" % products(prefix))
    check(not os.path.exists(prefix.unix(root + "v71")), "the version folder is still there")
    check(prefix.machine_path() == before, "Path after removal is %r, before install %r"
          % (prefix.machine_path(), before))


def scenario_upgrade_rollback_disabled(prefix):
    """An upgrade refused because rollback is disabled keeps the older version."""
    before = prefix.machine_path()
    Run(prefix, "install", []).expect_code(0)
    older = products(prefix)
    state = snapshot(prefix, ROOT)
    Run(prefix, "install", ["DISABLEROLLBACK=1"], package=NEWER).expect_code(1603)
    check(products(prefix) == older, "products after the refusal: %r (before %r)" % (products(prefix), older))
    check(snapshot(prefix, ROOT) == state, "the refused upgrade changed the machine")
    expect_installed(prefix, before, ROOT)


def scenario_upgrade_named_root(prefix):
    """An upgrade into a root named on its command line, not the remembered one."""
    before = prefix.machine_path()
    root = "C:\\Newer Root\\"
    older_uninstalled = install_then_upgrade(prefix, ROOT, ["TARGETDIR=" + root])
    if older_uninstalled:
        # The older Uninstall took its runtime and Path entry away.
        check(not os.path.exists(prefix.unix(ROOT + "v71")), "the older runtime is still there")
        expect_installed(prefix, before, root)
    else:
        # Skipped by the guard (SCHEDULING.md, "Upgrades"): the older
        # runtime and its Path entry stay, ahead of the newer one.
        older_path = (before[0], before[1] + ";" + runtime_folder(ROOT))
        expect_runtime(prefix, ROOT, True)
        expect_installed(prefix, older_path, root)
    Run(prefix, "remove", package=NEWER).expect_code(0)
    check(products(prefix) == {}, "products after removal: %r" % products(prefix))
    check(not os.path.exists(prefix.unix(root + "v71")), "the version folder is still there")


def derived_package(prefix, package, name, *edits):
    """A copy of a package changed by msibuild (each edit a list of its
    options), for what the demonstration package does not do itself."""
    path = prefix.unix("C:\\krt-test\\" + name)
    shutil.copy(prefix.unix("C:\\krt-test\\" + package), path)
    for edit in edits:
        subprocess.run([MSIBUILD, path] + edit, check=True)
    return name


# What the installer sets for the older product's removal during an upgrade:
# the newer product's code. The package only asks whether it is set.
UPGRADING = ["UPGRADINGPRODUCTCODE={7A1C0E4B-0000-4000-8000-000000000002}"]
WITHOUT_REMOVAL = ["-q", "DELETE FROM `InstallExecuteSequence` WHERE `Action` = 'RemoveExistingProducts'"]
LATE_REMOVAL = ["-q", "UPDATE `InstallExecuteSequence` SET `Sequence` = 6601 WHERE `Action` = 'RemoveExistingProducts'"]
# A rebuild of the same version: another product code.
REBUILT = ["-q", "UPDATE `Property` SET `Value` = '{7A1C0E4B-0000-4000-8000-000000000003}' "
                 "WHERE `Property` = 'ProductCode'"]


def scenario_upgrade_guard(prefix):
    """Both placements of the older product's removal as an installer that
    sets UPGRADINGPRODUCTCODE for it runs them, step by step: the guarded
    Uninstall does not run, and the newer product has the runtime and the one
    Path entry; removing it restores the Path."""
    before = prefix.machine_path()

    # Early: the older product removed, then the newer one installed.
    Run(prefix, "install", []).expect_code(0)
    Run(prefix, "remove", UPGRADING).expect_code(0)
    check(products(prefix) == {}, "products after the removal: %r" % products(prefix))
    expect_runtime(prefix, ROOT, True)
    expect_one_path_entry(prefix, before, ROOT)
    Run(prefix, "install", [], package=NEWER).expect_code(0)
    expect_installed(prefix, before, ROOT)
    Run(prefix, "remove", package=NEWER).expect_code(0)
    check(prefix.machine_path() == before, "Path after removal is %r" % (prefix.machine_path(),))

    # Late: the newer product installed beside the older one, then the older
    # one removed.
    beside = derived_package(prefix, NEWER, "beside-" + NEWER, WITHOUT_REMOVAL)
    Run(prefix, "install", []).expect_code(0)
    Run(prefix, "install", [], package=beside).expect_code(0)
    Run(prefix, "remove", UPGRADING).expect_code(0)
    check(len(products(prefix)) == 1, "products after the upgrade: %r" % products(prefix))
    expect_installed(prefix, before, ROOT)
    Run(prefix, "remove", package=beside).expect_code(0)
    check(products(prefix) == {}, "products after removal: %r" % products(prefix))
    check(prefix.machine_path() == before, "Path after removal is %r" % (prefix.machine_path(),))


def scenario_upgrade_rebuild(prefix):
    """A rebuild of the installed version, with a product code of its own,
    replaces it instead of installing beside it."""
    before = prefix.machine_path()
    rebuilt = derived_package(prefix, "KRTKit.msi", "rebuilt-KRTKit.msi", REBUILT)
    Run(prefix, "install", []).expect_code(0)
    older = products(prefix)
    Run(prefix, "install", [], package=rebuilt).expect_code(0)
    now = products(prefix)
    check(len(now) == 1 and set(now) != set(older) and list(now.values()) == list(older.values()),
          "products after the rebuild: %r (before %r)" % (now, older))
    expect_installed(prefix, before, ROOT)
    Run(prefix, "remove", package=rebuilt).expect_code(0)
    check(products(prefix) == {}, "products after removal: %r" % products(prefix))
    check(prefix.machine_path() == before, "Path after removal is %r" % (prefix.machine_path(),))


def scenario_upgrade_late(prefix):
    """The installer's own upgrade with the older product removed after the
    newer one is installed (RemoveExistingProducts after InstallFinalize)."""
    # Whether the installer skips the guarded Uninstall, seen in the safe placement.
    older_uninstalled = install_then_upgrade(prefix, ROOT, [])
    if older_uninstalled:
        raise Skip("the installer ran the older product's Uninstall during the upgrade: it does not "
                   "set UPGRADINGPRODUCTCODE for it (Wine's removes the older product with a plain "
                   "REMOVE=ALL), so after the newer Commit that Uninstall would delete the newer runtime")
    Run(prefix, "remove", package=NEWER).expect_code(0)
    before = prefix.machine_path()
    # The newer package's sequence places the removal.
    newer = derived_package(prefix, NEWER, "late-" + NEWER, LATE_REMOVAL)
    Run(prefix, "install", []).expect_code(0)
    Run(prefix, "install", [], package=newer).expect_code(0)
    check(len(products(prefix)) == 1, "products after the upgrade: %r" % products(prefix))
    expect_installed(prefix, before, ROOT)

SCENARIOS = {
    "lifecycle": scenario_lifecycle,
    "cancel": scenario_cancel,
    "exit-259": scenario_exit_259,
    "com-failure": scenario_com_failure,
    "path-sub": scenario_path_sub,
    "other-root": scenario_other_root,
    "rollback-disabled": scenario_rollback_disabled,
    "double-byte-root": scenario_double_byte_root,
    "drive-root": scenario_drive_root,
    "upgrade": scenario_upgrade,
    "upgrade-named-root": scenario_upgrade_named_root,
    "upgrade-rollback-disabled": scenario_upgrade_rollback_disabled,
    "upgrade-guard": scenario_upgrade_guard,
    "upgrade-rebuild": scenario_upgrade_rebuild,
    "upgrade-late": scenario_upgrade_late,
}

JA_LOCALE = "ja_JP.UTF-8"
LOCALE_DIR = None  # set from --work: beside the scenarios' folders


def japanese_locale():
    """A folder holding the compiled Japanese locale, for LOCPATH: made with
    localedef on first use, so that neither root nor a system-wide locale is
    needed (only the locale sources of Debian's locales package)."""
    target = os.path.join(LOCALE_DIR, JA_LOCALE)
    if os.path.isdir(target):
        return LOCALE_DIR
    os.makedirs(LOCALE_DIR, exist_ok=True)
    scratch = tempfile.mkdtemp(dir=LOCALE_DIR)
    made = subprocess.run(["localedef", "-i", "ja_JP", "-f", "UTF-8", os.path.join(scratch, JA_LOCALE)],
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    # localedef warns (status 1) about some of the locale's definitions, yet
    # writes it; status 4 and up means it wrote nothing.
    check(made.returncode < 4 and os.path.isdir(os.path.join(scratch, JA_LOCALE)),
          "localedef failed (is the locales package installed?): %r" % made.stdout)
    try:
        os.rename(os.path.join(scratch, JA_LOCALE), target)
    except OSError:
        check(os.path.isdir(target), "cannot put the locale at " + target)
    shutil.rmtree(scratch, ignore_errors=True)
    return LOCALE_DIR


WINE = os.environ.get("KRT_WINE", "wine")
WINEBOOT = os.environ.get("KRT_WINEBOOT", "wineboot")
WINESERVER = os.environ.get("KRT_WINESERVER", "wineserver")
MSIBUILD = os.environ.get("KRT_MSIBUILD", "msibuild")
# The exit status of a scenario that the installer cannot run (CTest's
# SKIP_RETURN_CODE).
SKIPPED = 77


def discard(prefix):
    """Removes a prefix left by an earlier run, after ending its server."""
    if os.path.isdir(prefix.path):
        prefix.stop()
        shutil.rmtree(prefix.path, ignore_errors=True)


def boot(path):
    prefix = Prefix(path)
    discard(prefix)
    os.makedirs(os.path.dirname(prefix.path), exist_ok=True)
    subprocess.run([WINEBOOT, "-i"], env=prefix.env(), stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
    # Wait until the server has written the registry out: the copies are
    # taken from the files.
    subprocess.run([WINESERVER, "-w"], env=prefix.env(), timeout=300)
    if not os.path.isfile(os.path.join(prefix.path, "system.reg")):
        print("wineboot made no prefix at " + prefix.path)
        return 1
    return 0


def copy_prefix(base, work, package, probe, reg_view="64"):
    """A fresh copy of the booted prefix in WORK/prefix, with the package and
    the probe in C:\\krt-test; None when the copy fails."""
    prefix = Prefix(os.path.join(work, "prefix"), reg_view)
    discard(prefix)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    copy = subprocess.run(["cp", "-a", base, prefix.path])
    if copy.returncode != 0:
        print("cannot copy the prefix " + base)
        return None
    tools = prefix.unix("C:\\krt-test")
    os.makedirs(tools)
    shutil.copy(package, os.path.join(tools, "KRTKit.msi"))
    shutil.copy(probe, os.path.join(tools, "krt-msiprobe.exe"))
    return prefix


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "boot":
        return boot(sys.argv[2])
    parser = argparse.ArgumentParser()
    parser.add_argument("scenario", choices=sorted(SCENARIOS))
    parser.add_argument("--base", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--package", required=True)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--newer", help="the package as a newer version, for the upgrade scenarios")
    parser.add_argument("--reg-view", choices=["32", "64"], default="64")
    options = parser.parse_args()

    global LOCALE_DIR
    LOCALE_DIR = os.path.join(os.path.dirname(os.path.abspath(options.work)), "locale")
    prefix = copy_prefix(options.base, options.work, options.package, options.probe, options.reg_view)
    if prefix is None:
        return 1
    if options.newer:
        shutil.copy(options.newer, prefix.unix("C:\\krt-test\\" + NEWER))

    try:
        prefix.start_server()
        SCENARIOS[options.scenario](prefix)
    except Failure as failure:
        print("FAIL [%s]: %s" % (options.scenario, failure))
        print("probe logs and prefix kept in " + options.work)
        return 1
    except Skip as skip:
        print("SKIP [%s]: %s" % (options.scenario, skip))
        return SKIPPED
    finally:
        prefix.stop()
    shutil.rmtree(options.work, ignore_errors=True)
    print("PASS [%s]" % options.scenario)
    return 0


if __name__ == "__main__":
    sys.exit(main())
