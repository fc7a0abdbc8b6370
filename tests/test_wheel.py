"""The repaired wheel works on its own: installed into a fresh virtual environment outside the
checkout, it imports, decodes the shipped clip, and its decoder libraries resolve inside the
installed package rather than from the system.

`./dev wheel` builds the wheel and runs this file with SONOLITH_WHEEL set to it; without that
variable (the ordinary suite) there is no wheel to check and the tests are skipped.
"""

import hashlib
import json
import os
import pathlib
import subprocess
import sys
import venv

import pytest

WHEEL = os.environ.get("SONOLITH_WHEEL")
ROOT = pathlib.Path(__file__).resolve().parent.parent
CLIP = ROOT / "examples" / "clip.ogg"

pytestmark = pytest.mark.skipif(not WHEEL, reason="no wheel given (./dev wheel runs these tests)")

DECODE = r"""
import hashlib, json, sys, _sonolith
with open(sys.argv[1], "rb") as f:
    stream = _sonolith.VorbisStream(f)
    rate, channels, total = stream.info()
    pcm = bytearray()
    while chunk := stream.read(4096):
        pcm += chunk
print(json.dumps({"module": _sonolith.__file__, "rate": rate, "channels": channels, "total": total,
                  "bytes": len(pcm), "sha": hashlib.sha256(pcm).hexdigest()}))
"""


@pytest.fixture(scope="module")
def installed(tmp_path_factory):
    """A fresh virtual environment, outside the checkout, with only the wheel installed."""
    home = tmp_path_factory.mktemp("wheel-check")
    env_dir = home / "venv"
    venv.EnvBuilder(with_pip=True).create(env_dir)
    python = env_dir / "bin" / "python"
    subprocess.run([python, "-m", "pip", "install", "-q", "--no-index", "--disable-pip-version-check", WHEEL],
                   check=True)
    return home, python


def _run(home, python, *args):
    # Run from the environment's own folder with a clean path, so that nothing in the checkout
    # (a build tree, an editable install) can stand in for the installed module.
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_LIBRARY_PATH", "LD_PRELOAD")}
    return subprocess.run([python, *args], cwd=home, env=env, check=True, capture_output=True, text=True).stdout


def test_wheel_is_repaired_for_a_manylinux_policy():
    name = pathlib.Path(WHEEL).name
    assert "manylinux" in name and name.endswith(".whl"), name


def test_installed_wheel_decodes_the_clip(installed):
    home, python = installed
    result = json.loads(_run(home, python, "-c", DECODE, str(CLIP)))
    module = pathlib.Path(result["module"])
    assert ROOT not in module.parents, module
    assert result["channels"] in (1, 2) and result["rate"] > 0
    assert result["bytes"] == result["total"] * result["channels"] * 2 > 0
    # The same bytes as a decode with the module of this checkout, where one is importable.
    try:
        import _sonolith
    except ImportError:
        return
    with open(CLIP, "rb") as f:
        stream = _sonolith.VorbisStream(f)
        pcm = bytearray()
        while chunk := stream.read(4096):
            pcm += chunk
    assert hashlib.sha256(pcm).hexdigest() == result["sha"]


def test_decoder_resolves_inside_the_installed_package(installed):
    home, python = installed
    module = pathlib.Path(_run(home, python, "-c", "import _sonolith; print(_sonolith.__file__)").strip())
    site = module.parent
    out = subprocess.run(["ldd", str(module)], check=True, capture_output=True, text=True).stdout
    decoder = [line for line in out.splitlines() if "vorbisidec" in line or "libogg" in line]
    if not decoder:
        # Linked statically: nothing of the decoder is loaded from anywhere.
        assert "not found" not in out, out
        return
    for line in decoder:
        path = pathlib.Path(line.split("=>", 1)[1].split("(")[0].strip())
        assert site in path.parents, f"{line.strip()} resolves outside {site}"
    assert "not found" not in out, out
