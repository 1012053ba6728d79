#!/usr/bin/env python3
"""Commit's progress under the real engine: the kit's package installed by
Wine's Windows Installer (win64 build) with a test payload printing 10,000
lines, against one printing none, and the progress records Commit sent.

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


def install_once(base, work, package, probe, orders):
    """Seconds the installation took, and the ticks of each increment record."""
    prefix = scenario.copy_prefix(base, work, package, probe)
    if prefix is None:
        raise scenario.Failure("cannot copy the prefix")
    try:
        prefix.start_server()
        scenario.write_file(prefix, scenario.ROOT + "_KRTInstaller.cfg", orders)
        start = time.monotonic()
        run = scenario.Run(prefix, "install", ["TARGETDIR=" + scenario.ROOT])
        seconds = time.monotonic() - start
        run.expect_code(0)
        return seconds, scenario.expect_one_reset_then_increments(run)
    finally:
        prefix.stop()
        shutil.rmtree(work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build", "win64"))
    options = parser.parse_args()
    package = os.path.join(options.build, "packaging", "KRTKit.msi")
    probe = os.path.join(options.build, "bin", "krt-msiprobe.exe")
    missing = [what for what, present in (("wine", shutil.which(scenario.WINE)),
                                          (package, os.path.isfile(package)),
                                          (probe, os.path.isfile(probe))) if not present]
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
            for name, orders in PAYLOADS:
                figures[name] = install_once(base, os.path.join(scratch, "run"), package, probe, orders)
    except (scenario.Failure, OSError) as failure:
        print("(c) real engine: no figures, %s" % failure)
        return 1
    finally:
        scenario.discard(scenario.Prefix(os.path.join(scratch, "base-prefix")))
        shutil.rmtree(scratch, ignore_errors=True)

    (quiet, quiet_ticks), (busy, busy_ticks) = figures["0 lines"], figures["10000 lines"]
    print("(c) real engine (Wine): installation with a payload of 10000 lines %.1f s (%d ticks in %d records), "
          "of 0 lines %.1f s (%d records), ratio %.2f (target: at most 2)"
          % (busy, sum(busy_ticks), len(busy_ticks), quiet, len(quiet_ticks), busy / quiet))
    return 0


if __name__ == "__main__":
    sys.exit(main())
