"""The repaired manylinux wheel runs on a machine without oneTBB and ISA-L.

The system's oneTBB and ISA-L are hidden in a private mount namespace, each
libtbb* and libisal* file bind-mounted over by /dev/null. The unrepaired wheel's module must then fail to
load, which proves the hiding works; the repaired wheel, installed into a fresh
virtual environment, must still score the bundled example.
"""

import glob
import gzip
import os
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"

pytestmark = pytest.mark.wheel

UNSHARE = ("unshare", "--mount", "--propagation", "private")
# Mounts /dev/null over every file named in $TBB_FILES, then runs the command.
HIDE_AND_RUN = 'for f in $TBB_FILES; do mount --bind /dev/null "$f" || exit 97; done; exec "$@"'


def system_tbb_files():
    """The real files behind every libtbb* and libisal* in the loader's cache and the usual library directories."""
    ldconfig = shutil.which("ldconfig") or "/sbin/ldconfig"  # /sbin may be off a user's PATH
    cache = subprocess.run([ldconfig, "-p"], capture_output=True, text=True).stdout
    directories = {os.path.dirname(line.rsplit("=> ", 1)[1]) for line in cache.splitlines() if "=> " in line}
    directories |= {"/lib", "/usr/lib", "/lib64", "/usr/lib64", "/usr/local/lib"}
    names = (glob.glob(os.path.join(d, pattern)) for d in directories for pattern in ("libtbb*", "libisal*"))
    return sorted({os.path.realpath(name) for group in names for name in group})


def without_tbb(*command, **kwargs):
    """Runs `command` in a private mount namespace where the system's oneTBB is hidden."""
    env = {key: value for key, value in os.environ.items() if key != "PYTHONPATH"}
    env.update(kwargs.pop("env", {}), TBB_FILES=" ".join(system_tbb_files()))
    argv = [*UNSHARE, "sh", "-c", HIDE_AND_RUN, "sh", *map(str, command)]
    done = subprocess.run(argv, capture_output=True, text=True, env=env, stdin=subprocess.DEVNULL, **kwargs)
    if done.returncode == 97:
        pytest.skip(f"cannot bind-mount over the system's oneTBB: {done.stderr.strip()}")
    return done


@pytest.fixture(scope="module", autouse=True)
def mount_namespace():
    try:
        made = subprocess.run([*UNSHARE, "true"], capture_output=True, text=True)
    except FileNotFoundError:
        pytest.skip("cannot make a private mount namespace: no unshare command")
    if made.returncode != 0:
        pytest.skip(f"cannot make a private mount namespace: {made.stderr.strip()}")


@pytest.fixture(scope="module")
def wheels():
    """(unrepaired, repaired) wheel paths; scripts/wheel.sh builds them if either is missing."""
    def find():
        raw = sorted(ROOT.glob("build/wheel-raw/tarvo-*.whl"))
        repaired = sorted(ROOT.glob("dist/tarvo-*-manylinux_*.whl"))
        return (raw[-1], repaired[-1]) if raw and repaired else None

    if find() is None:
        subprocess.run([str(ROOT / "scripts" / "wheel.sh")], check=True, stdin=subprocess.DEVNULL)
    return find()


def test_hiding_oneTBB_breaks_the_unrepaired_module(wheels, tmp_path):
    with zipfile.ZipFile(wheels[0]) as wheel:
        module = next(name for name in wheel.namelist() if name.startswith("_tarvo_rs."))
        wheel.extract(module, tmp_path)
    load = [sys.executable, "-c", "import _tarvo_rs"]
    env = {**os.environ, "PYTHONPATH": str(tmp_path)}
    subprocess.run(load, check=True, env=env, cwd=tmp_path)  # loads while oneTBB is visible
    hidden = without_tbb(*load, env={"PYTHONPATH": str(tmp_path)}, cwd=tmp_path)
    assert hidden.returncode != 0
    assert "libtbb.so.12" in hidden.stderr or "libisal.so.2" in hidden.stderr


def test_repaired_wheel_scores_without_system_oneTBB(wheels, tmp_path):
    env_dir = tmp_path / "env"
    subprocess.run([sys.executable, "-m", "venv", str(env_dir)], check=True)
    subprocess.run(
        [env_dir / "bin" / "python", "-m", "pip", "install", "-q", "--no-index", "--no-deps",
         "--disable-pip-version-check", wheels[1]],
        check=True, stdin=subprocess.DEVNULL,
    )
    model = tmp_path / "2GTP_model.pdb.gz"
    model.write_bytes(gzip.compress((EXAMPLES / "2GTP_model.pdb").read_bytes()))
    done = without_tbb(env_dir / "bin" / "tarvo", model, EXAMPLES / "2GTP_native.pdb", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert "GlobalTarvo  0.819  (High)" in done.stdout
