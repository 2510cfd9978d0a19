"""Where yyjson or xxHash is missing, configuring the build stops at once and
names the packages to install."""

import pathlib
import shutil
import sys
import sysconfig

import pytest

from helpers import ROOT, clean_env, run

PKGCONFIG_DIRS = [pathlib.Path(d) for d in ("/usr/lib/x86_64-linux-gnu/pkgconfig", "/usr/lib/pkgconfig",
                                            "/usr/share/pkgconfig")]


def pc_file(name):
    return next((d / f"{name}.pc" for d in PKGCONFIG_DIRS if (d / f"{name}.pc").exists()), None)


@pytest.mark.parametrize("kept,named", [
    ([], ["libyyjson-dev", "libxxhash-dev"]),
    (["yyjson"], ["libxxhash-dev"]),
    (["libxxhash"], ["libyyjson-dev"]),
])
def test_configure_names_the_missing_packages(kept, named, tmp_path):
    # pkg-config sees only the .pc files copied into a folder of its own, and
    # CMake is told not to look for yyjson's CMake package unless it is kept.
    pcdir = tmp_path / "pkgconfig"
    pcdir.mkdir()
    for name in kept:
        found = pc_file(name)
        if found is None:
            pytest.skip(f"{name}.pc is not installed here")
        shutil.copy(found, pcdir)
    args = [] if "yyjson" in kept else ["-DCMAKE_DISABLE_FIND_PACKAGE_yyjson=ON"]
    result = run(["cmake", "-S", ROOT, "-B", tmp_path / "build", f"-DPython3_EXECUTABLE={sys.executable}",
                  *args], env=clean_env(PKG_CONFIG_LIBDIR=str(pcdir), PKG_CONFIG_PATH=""), check=False)
    text = " ".join(result.stdout.split())
    assert result.returncode != 0, text
    assert f"apt-get install {' '.join(named)}" in text
    for package in {"libyyjson-dev", "libxxhash-dev"} - set(named):
        assert package not in text.replace("Debian 12 has no libyyjson-dev", "")
    assert not (tmp_path / "build" / "Makefile").exists() and not (tmp_path / "build" / "build.ninja").exists()


def test_configure_with_both_libraries_present_succeeds(tmp_path):
    run(["cmake", "-S", ROOT, "-B", tmp_path / "build", f"-DPython3_EXECUTABLE={sys.executable}"],
        env=clean_env())
