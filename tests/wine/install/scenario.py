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
INCREMENT = [None, 2, 1, 0]
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

    def env(self, extra=None):
        env = {k: v for k, v in os.environ.items() if not k.startswith("KVLKRT_")}
        env.update(WINEPREFIX=self.path, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
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
        values = {}
        if out.returncode != 0:
            return values
        for line in out.stdout.decode("latin-1").splitlines():
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

    def __init__(self, prefix, action, props=(), cancel_at=None):
        events = "C:\\krt-test\\%s.jsonl" % action
        args = ["C:\\krt-test\\krt-msiprobe.exe", "--events", events]
        if cancel_at is not None:
            args += ["--cancel-at", str(cancel_at)]
        args += [action, "C:\\krt-test\\KRTKit.msi"] + list(props)
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

    def progress(self):
        """The custom action's progress records, in order: the three-field
        resets of 8800 ticks and increments of one tick. The installer's own
        records have four fields."""
        return [fields for t, fields in self.messages
                if t == INSTALLMESSAGE_PROGRESS and fields in (RESET, INCREMENT)]


def expect_one_reset_then_increments(run):
    progress = run.progress()
    check(progress[:1] == [RESET], "progress records do not start with one reset: %r" % progress[:3])
    check(RESET not in progress[1:], "more than one reset record")
    return len(progress) - 1


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
    entry = runtime_folder(ROOT)

    install = Run(prefix, "install", ["TARGETDIR=" + ROOT])
    install.expect_code(0)
    check(install.error_messages() == [], "error messages: %r" % install.error_messages())
    expect_runtime(prefix, ROOT, True)
    check(prefix.machine_path() == (before[0], before[1] + ";" + entry),
          "Path after install is %r" % (prefix.machine_path(),))
    expect_com(prefix, {name: ROOT for name in COM_SERVERS})
    # At most one increment per line of the payload program (it prints one
    # line per file it lays down), plus one for the read that meets the end
    # of its output. Commit stops at the first poll that sees the program
    # ended, so a program that outruns it leaves lines unread: fewer is fine.
    lines = len(RUNTIME_FILES)
    increments = expect_one_reset_then_increments(install)
    check(1 <= increments <= lines + 1,
          "%d progress increments for %d payload lines" % (increments, lines))

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
    check(remove.error_messages() == [], "error messages: %r" % remove.error_messages())
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
    check(run.error_messages() == [], "error messages: %r" % run.error_messages())
    check(expect_one_reset_then_increments(run) == 3, "Commit went on after the cancel: %r" % run.progress())
    check(prefix.machine_path() == before, "Path changed to %r" % (prefix.machine_path(),))
    expect_com(prefix, {name: None for name in COM_SERVERS})


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
    check(prefix.machine_path() == (before[0], before[1] + ";" + runtime_folder(root)),
          "Path after install is %r" % (prefix.machine_path(),))
    Run(prefix, "remove").expect_code(0)
    check(not os.path.exists(prefix.unix(root + "v71")), "the version folder is still there")
    check(prefix.machine_path() == before, "Path after removal is %r" % (prefix.machine_path(),))


def scenario_rollback_disabled(prefix):
    """Without rollback the installer skips commit actions: the package refuses."""
    before = prefix.machine_path()
    Run(prefix, "install", ["TARGETDIR=" + ROOT, "DISABLEROLLBACK=1"]).expect_code(1603)
    check(not os.path.exists(prefix.unix(ROOT + "v71")), "the runtime was laid down")
    check(prefix.machine_path() == before, "Path changed to %r" % (prefix.machine_path(),))


SCENARIOS = {
    "lifecycle": scenario_lifecycle,
    "cancel": scenario_cancel,
    "com-failure": scenario_com_failure,
    "path-sub": scenario_path_sub,
    "other-root": scenario_other_root,
    "rollback-disabled": scenario_rollback_disabled,
}

WINE = os.environ.get("KRT_WINE", "wine")
WINEBOOT = os.environ.get("KRT_WINEBOOT", "wineboot")
WINESERVER = os.environ.get("KRT_WINESERVER", "wineserver")
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


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "boot":
        return boot(sys.argv[2])
    parser = argparse.ArgumentParser()
    parser.add_argument("scenario", choices=sorted(SCENARIOS))
    parser.add_argument("--base", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--package", required=True)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--reg-view", choices=["32", "64"], default="64")
    options = parser.parse_args()

    prefix = Prefix(os.path.join(options.work, "prefix"), options.reg_view)
    discard(prefix)
    shutil.rmtree(options.work, ignore_errors=True)
    os.makedirs(options.work)
    copy = subprocess.run(["cp", "-a", options.base, prefix.path])
    if copy.returncode != 0:
        print("cannot copy the prefix " + options.base)
        return 1
    tools = prefix.unix("C:\\krt-test")
    os.makedirs(tools)
    shutil.copy(options.package, os.path.join(tools, "KRTKit.msi"))
    shutil.copy(options.probe, os.path.join(tools, "krt-msiprobe.exe"))

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
