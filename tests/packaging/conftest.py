"""Fixtures of the packaging checks: the tree as a fresh clone has it, and
fresh virtual environments."""

import shutil
import subprocess

import pytest

from helpers import ROOT, Venv


@pytest.fixture(scope="session")
def clone(tmp_path_factory):
    """The tree as a fresh clone of it would be: the files git tracks (and new
    ones it does not ignore), as they are in the working tree, and no build."""
    listed = subprocess.run(
        ["git", "-C", ROOT, "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
        check=True, stdout=subprocess.PIPE).stdout.decode().split("\0")
    dest = tmp_path_factory.mktemp("clone") / "kestro"
    for name in filter(None, listed):
        src = ROOT / name
        if src.is_file():
            (dest / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(src, dest / name)
    return dest


@pytest.fixture(scope="session")
def new_venv(tmp_path_factory):
    return lambda name: Venv(tmp_path_factory.mktemp("venvs") / name)
