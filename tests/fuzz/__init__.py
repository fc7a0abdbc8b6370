"""Introspection-driven robustness harness for the native module.

The harness discovers the module's surface at run time (functions, types, methods, getters and
setters, with call shapes taken from the type stubs) and so covers new entry points without being
edited for them. `python -m tests.fuzz --seconds N` runs it; `tests/test_fuzz.py` runs a bounded
pass as part of the suite, and `./dev fuzz SECONDS` a long one against the sanitizer build.
"""
