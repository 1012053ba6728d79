#!/usr/bin/env python3
"""Commit's progress under the real engine: the kit's package installed by
Wine's Windows Installer (win64 build) with a test payload printing 10,000
lines, against one printing none, and the progress records Commit sent; and
the same payload writing into a plain pipe reader (krt_pipe_reader.exe), the
floor that no progress stage can go below on this Wine.

    real_engine.py [--build DIR]      DIR: the win64 build (default: build/win64)

Prints one line of figures, or one line saying why there are none (no Wine, no
win64 build). A figure, not a test: nothing here is judged.
"""

import argparse
import contextlib
import io
import os
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "wine", "install"))
import scenario  # noqa: E402  (the Wine scenarios' prefix and probe helpers)

PAYLOADS = [("0 lines", "silent\n"), ("10000 lines", "lines 10000\n")]
# Installations under Wine vary by a good part of a second from run to run:
# each payload is installed this many times, in turn, and the median taken.
ROUNDS = 3


@contextlib.contextmanager
def fresh_prefix(base, work, package, probe):
    """A running copy of the booted prefix, stopped and deleted afterwards."""
    prefix = scenario.copy_prefix(base, work, package, probe)
    if prefix is None:
        raise scenario.Failure("cannot copy the prefix")
    try:
        prefix.start_server()
        yield prefix
    finally:
        prefix.stop()
        shutil.rmtree(work, ignore_errors=True)


def install_once(base, work, package, probe, orders):
    """Seconds the installation took, and the ticks of each increment record."""
    with fresh_prefix(base, work, package, probe) as prefix:
        scenario.write_file(prefix, scenario.ROOT + "_KRTInstaller.cfg", orders)
        start = time.monotonic()
        run = scenario.Run(prefix, "install", ["TARGETDIR=" + scenario.ROOT])
        seconds = time.monotonic() - start
        run.expect_code(0)
        return seconds, scenario.expect_one_reset_then_increments(run)


def payload_alone(base, work, package, probe, payload_dir, reader, orders):
    """Seconds the payload program takes to write its output into a plain pipe
    reader, in a prefix of its own: the floor under the installation time."""
    with fresh_prefix(base, work, package, probe) as prefix:
        folder = "C:\\krt-bench\\"
        shutil.copytree(payload_dir, prefix.unix(folder))
        shutil.copy(reader, prefix.unix(folder + "krt_pipe_reader.exe"))
        scenario.write_file(prefix, folder + "_KRTInstaller.cfg", orders)
        out = prefix.wine([folder + "krt_pipe_reader.exe", folder + "_KRTInstaller.exe", "-o", "-d", folder + "out"])
        if out.returncode != 0:
            raise scenario.Failure("krt_pipe_reader: status %d, %r" % (out.returncode, out.stderr))
        return float(out.stdout.split()[0])


def median(runs):
    """The run of median time among (seconds, ticks) runs."""
    return sorted(runs, key=lambda run: run[0])[len(runs) // 2]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build", "win64"))
    options = parser.parse_args()
    package = os.path.join(options.build, "packaging", "KRTKit.msi")
    probe = os.path.join(options.build, "bin", "krt-msiprobe.exe")
    reader = os.path.join(options.build, "bin", "krt_pipe_reader.exe")
    payload_dir = os.path.join(options.build, "payload")
    missing = [what for what, present in (("wine", shutil.which(scenario.WINE)),
                                          (package, os.path.isfile(package)),
                                          (probe, os.path.isfile(probe)),
                                          (reader, os.path.isfile(reader))) if not present]
    if missing:
        print("(c) real engine: skipped, missing %s (cmake --preset win64 && cmake --build --preset win64)"
              % ", ".join(missing))
        return 0

    scratch = tempfile.mkdtemp(prefix="krt-bench-wine-")
    figures = {}
    try:
        # The helpers print one line per Wine call: kept out of the figures.
        with contextlib.redirect_stdout(io.StringIO()):
            base = os.path.join(scratch, "base-prefix")
            if scenario.boot(base) != 0:
                raise scenario.Failure("wineboot made no prefix")
            for _ in range(ROUNDS):
                for name, orders in PAYLOADS:
                    figures.setdefault(name, []).append(
                        install_once(base, os.path.join(scratch, "run"), package, probe, orders))
                figures.setdefault("alone", []).append(
                    (payload_alone(base, os.path.join(scratch, "run"), package, probe, payload_dir, reader,
                                  PAYLOADS[1][1]), None))
    except (scenario.Failure, OSError) as failure:
        print("(c) real engine: no figures, %s" % failure)
        return 1
    finally:
        scenario.discard(scenario.Prefix(os.path.join(scratch, "base-prefix")))
        shutil.rmtree(scratch, ignore_errors=True)

    (quiet, quiet_ticks), (busy, busy_ticks) = (median(figures["0 lines"]), median(figures["10000 lines"]))
    print("(c) real engine (Wine), median of %d: installation with a payload of 10000 lines %.1f s "
          "(%d ticks in %d records), of 0 lines %.1f s (%d records), ratio %.2f (target: at most 2)"
          % (ROUNDS, busy, sum(busy_ticks), len(busy_ticks), quiet, len(quiet_ticks), busy / quiet))
    # The payload's own writing time bounds what any progress stage can reach.
    alone = median(figures["alone"])[0]
    print("    the same payload into a plain pipe reader under this Wine: %.1f s, so the installation cannot "
          "take less than about %.1f s (ratio %.2f); Commit's stage adds %.1f s to that"
          % (alone, quiet + alone, (quiet + alone) / quiet, max(0.0, busy - quiet - alone)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
