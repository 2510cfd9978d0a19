"""What the packaging checks share: commands run with their output kept for
the failure report, fresh virtual environments with the pinned pip, and the
test suite run against an installed module.

These checks build the module the ways a user does (pip, the build backend,
auditwheel), so they run once, on one interpreter, in the environment of
requirements/packaging.txt (scripts/test.sh runs them)."""

import os
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


def cache_dir():
    """The project's cache, outside the tree (the one scripts/env.sh uses)."""
    if "KESTRO_CACHE" in os.environ:
        return pathlib.Path(os.environ["KESTRO_CACHE"])
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return pathlib.Path(base) / "kestro"


def run(cmd, *, cwd=None, env=None, timeout=900, check=True):
    """Runs `cmd`; a failure shows the command and the end of its output."""
    result = subprocess.run([str(c) for c in cmd], cwd=cwd, env=env, timeout=timeout,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if not check:
        return result
    if result.returncode != 0:
        tail = "\n".join(result.stdout.splitlines()[-60:])
        pytest.fail(f"{' '.join(map(str, cmd))} exited with {result.returncode}:\n{tail}",
                    pytrace=False)
    return result.stdout


def clean_env(**extra):
    """The caller's environment without anything that would put a build of the
    module or another environment's packages on the path."""
    env = {k: v for k, v in os.environ.items()
           if k not in {"PYTHONPATH", "PYTHONHOME", "VIRTUAL_ENV", "LD_PRELOAD", "PYTHONMALLOC"}}
    env["PIP_CACHE_DIR"] = str(cache_dir() / "pip-cache")
    env["PIP_DISABLE_PIP_VERSION_CHECK"] = "1"
    env["PIP_NO_INPUT"] = "1"
    env["CMAKE_BUILD_PARALLEL_LEVEL"] = str(os.cpu_count() or 2)
    env.update(extra)
    return env


class Venv:
    """A fresh virtual environment of this interpreter with the pinned pip."""

    def __init__(self, path):
        self.path = path
        run([sys.executable, "-m", "venv", path], env=clean_env())
        self.python = path / "bin" / "python"
        self.pip("install", "-q", "-r", ROOT / "requirements" / "pip.txt")

    def pip(self, *args, cwd=None):
        return run([self.python, "-m", "pip", *args], cwd=cwd, env=clean_env())

    def python_run(self, *args, cwd=None, env=None):
        return run([self.python, *args], cwd=cwd or self.path, env=env or clean_env())

    @property
    def site_packages(self):
        return pathlib.Path(self.python_run(
            "-c", "import sysconfig; print(sysconfig.get_path('platlib'))").strip())


def suite_args(clone, *files):
    """pytest over the clone's test suite (or these files of it), which is run
    from outside the tree, so that nothing but the installed module can be
    imported as kestro."""
    tests = [clone / "tests" / "python" / f for f in files] or [clone / "tests" / "python"]
    return ["-m", "pytest", "-q", "-p", "no:cacheprovider", "-c", clone / "pytest.ini",
            "--rootdir", clone, *tests]
