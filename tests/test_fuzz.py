"""A bounded run of the fuzz harness (tests/fuzz) as part of the suite.

The harness runs in a child process, so that a crash, a sanitizer report or a hang fails this test
with the call in progress instead of ending the whole run. SONOLITH_FUZZ_SECONDS sets the budget
(default 60 s on the sanitizer build, 15 s otherwise); `./dev fuzz SECONDS` runs a long pass.
"""

import os
import pathlib
import subprocess
import sys

from tests.conftest import SANITIZED

ROOT = pathlib.Path(__file__).resolve().parents[1]


def fuzz_env():
    env = dict(os.environ)
    if SANITIZED:
        # Huge sizes are part of the input space: have the sanitizer's allocator fail them (the
        # module then raises MemoryError) instead of reserving them.
        extra = "allocator_may_return_null=1:max_allocation_size_mb=1024"
        env["ASAN_OPTIONS"] = f"{env['ASAN_OPTIONS']}:{extra}" if env.get("ASAN_OPTIONS") else extra
    return env


def test_fuzz_every_entry_point(tmp_path):
    seconds = os.environ.get("SONOLITH_FUZZ_SECONDS", "60" if SANITIZED else "15")
    journal = tmp_path / "journal.txt"
    report = tmp_path / "report.txt"
    cmd = [sys.executable, "-m", "tests.fuzz", "--seconds", seconds, "--journal", str(journal),
           "--report", str(report)]
    proc = subprocess.run(cmd, cwd=ROOT, env=fuzz_env(), capture_output=True, text=True, timeout=float(seconds) * 4 + 600)
    summary = report.read_text() if report.exists() else proc.stdout
    print(summary)
    if proc.returncode != 0:
        running = journal.read_text().strip() if journal.exists() else "?"
        raise AssertionError(
            f"fuzz run failed (exit status {proc.returncode}); call in progress: {running}\n"
            f"{summary}\n--- stderr (tail) ---\n{proc.stderr[-6000:]}")
