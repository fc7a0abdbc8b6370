"""Run the fuzz harness: python -m tests.fuzz [--seconds N] [--seed S] [--only REGEX].

Exit status 0 when no failure was found; 1 otherwise (a crash or sanitizer report ends the process
earlier, with the call in progress left in the journal file)."""

import argparse
import os
import resource
import sys
import warnings

from tests.fuzz import harness, surface


def limit_memory():
    """Keep a runaway allocation from taking the machine: a plain build gets an address-space
    limit; a sanitizer build is told to fail large allocations (its shadow memory rules out
    RLIMIT_AS), which the module reports as MemoryError."""
    if surface.is_sanitized():
        return
    with open("/proc/self/status") as f:
        vm = next((int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:")), 0)
    limit = vm + (3 << 30)
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m tests.fuzz")
    parser.add_argument("--seconds", type=float, default=float(os.environ.get("SONOLITH_FUZZ_SECONDS", 60)))
    parser.add_argument("--seed", type=int, default=int(os.environ.get("SONOLITH_FUZZ_SEED", 0)))
    parser.add_argument("--only", default=None, help="regular expression over entry-point labels")
    parser.add_argument("--journal", default=None, help="file that names the call in progress")
    parser.add_argument("--report", default=None, help="also write the report to this file")
    parser.add_argument("--call-timeout", type=float, default=60.0)
    parser.add_argument("--min-calls", type=int, default=30)
    parser.add_argument("-v", "--verbose", action="store_true")
    opts = parser.parse_args(argv)

    warnings.simplefilter("ignore")
    sys.setrecursionlimit(3000)
    import numpy  # noqa: F401  (imported before the memory limit: its start-up maps much)
    limit_memory()
    import _sonolith

    h = harness.Harness(_sonolith, seed=opts.seed, seconds=opts.seconds, call_timeout=opts.call_timeout,
                        journal=opts.journal, only=opts.only, min_calls=opts.min_calls, verbose=opts.verbose)
    ok = h.run()
    text = h.report()
    print(text, flush=True)
    if opts.report:
        with open(opts.report, "w") as f:
            f.write(text + "\n")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
