"""The sources compile unchanged for a free-threaded interpreter (Py_GIL_DISABLED).

No free-threaded interpreter may be at hand, so this compiles every source with the flag set
against this interpreter's headers, which carry both variants of the C API.
"""

import pathlib
import shutil
import subprocess
import sysconfig

import pytest

from tests.conftest import SANITIZED

ROOT = pathlib.Path(__file__).resolve().parents[1]
SOURCES = sorted((ROOT / "src").rglob("*.cpp"))


@pytest.mark.skipif(shutil.which("g++") is None or not SOURCES, reason="needs g++ and the sources")
@pytest.mark.skipif(SANITIZED, reason="a compile check: the plain run covers it")
def test_sources_compile_with_gil_disabled(tmp_path):
    flags = ["-std=c++20", "-fsyntax-only", "-DPy_GIL_DISABLED", "-Wall", "-Wextra", "-Werror",
             "-Wno-missing-field-initializers", "-Wno-cast-function-type",
             f"-I{ROOT / 'src'}", f"-I{sysconfig.get_paths()['include']}"]
    pkg = subprocess.run(["pkg-config", "--cflags", "vorbisidec"], capture_output=True, text=True)
    if pkg.returncode == 0:
        flags += pkg.stdout.split()
    failures = []
    for source in SOURCES:
        r = subprocess.run(["g++", *flags, str(source)], capture_output=True, text=True)
        if r.returncode != 0:
            failures.append(f"{source.relative_to(ROOT)}:\n{r.stderr[-2000:]}")
    assert not failures, "\n".join(failures)
