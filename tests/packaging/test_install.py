"""pip install from a clone, with and without build isolation, and a wheel
that carries yyjson and xxHash: each installed into a fresh environment and
tested there, the repaired wheel with the system's copies of both libraries
out of reach."""

import io
import json
import pathlib
import re
import shutil
import subprocess
import sys
import tarfile
import zipfile

import pytest
from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile
from packaging.requirements import Requirement

from helpers import ROOT, clean_env, run, suite_args

EXAMPLE = pathlib.Path(__file__).with_name("typing_example.py")
LIBS = ("yyjson", "xxhash")


def cmake_version():
    return re.search(r"project\(kestro\s+VERSION\s+([0-9.]+)",
                     (ROOT / "CMakeLists.txt").read_text()).group(1)


def pins(name):
    """name -> version of every requirement of requirements/NAME.txt (and the
    files it takes in) whose marker holds for this interpreter."""
    found = {}
    for line in (ROOT / "requirements" / f"{name}.txt").read_text().splitlines():
        line = line.split("#")[0].strip()
        if line.startswith("-r "):
            found.update(pins(line[3:].removesuffix(".txt")))
        elif line:
            req = Requirement(line)
            if req.marker is None or req.marker.evaluate():
                found[req.name.lower().replace("_", "-")] = str(req.specifier).removeprefix("==")
    return found


def installed_module(venv):
    return pathlib.Path(venv.python_run("-c", "import kestro; print(kestro.__file__)").strip())


@pytest.fixture(scope="session")
def isolated(new_venv, clone):
    venv = new_venv("isolated")
    venv.pip("install", "-q", f"{clone}[test]")
    return venv


@pytest.fixture(scope="session")
def backend_venv(new_venv):
    """A fresh environment with the build backend of requirements/build.txt."""
    venv = new_venv("no-isolation")
    venv.pip("install", "-q", "-r", ROOT / "requirements" / "build.txt")
    return venv


@pytest.fixture(scope="session")
def sdist(backend_venv, clone, tmp_path_factory):
    """The source distribution the backend makes of the clone, unpacked."""
    out = tmp_path_factory.mktemp("sdist")
    name = backend_venv.python_run(
        "-c", f"from scikit_build_core.build import build_sdist; print(build_sdist({str(out)!r}))",
        cwd=clone).split()[-1]
    with tarfile.open(out / name) as archive:
        archive.extractall(out)  # made just now by the backend
    return out / name.removesuffix(".tar.gz")


@pytest.fixture(scope="session")
def no_isolation(backend_venv, sdist):
    """`pip install --no-build-isolation .` in the unpacked source distribution.
    The backend keeps its build folder, which the wheel below reuses instead of
    compiling the same sources with the same compiler and interpreter again."""
    backend_venv.pip("install", "-q", "--no-build-isolation",
                     "-C", f"build-dir={backend_venv.path / 'build'}", ".", cwd=sdist)
    return backend_venv


@pytest.fixture(scope="session")
def wheels(no_isolation, sdist, tmp_path_factory):
    """The wheel pip builds from the source distribution, and the one auditwheel
    repairs from it."""
    out = tmp_path_factory.mktemp("wheels")
    no_isolation.pip("wheel", "-q", "--no-deps", "--no-build-isolation",
                     "-C", f"build-dir={no_isolation.path / 'build'}", "-w", out / "plain", ".",
                     cwd=sdist)
    (plain,) = (out / "plain").glob("kestro-*.whl")
    tools = clean_env(PATH=f"{pathlib.Path(sys.executable).parent}:{clean_env()['PATH']}")
    run([sys.executable, "-m", "auditwheel", "repair", "-w", out / "repaired", plain], env=tools)
    (repaired,) = (out / "repaired").glob("kestro-*.whl")
    return plain, repaired


def test_pip_install_with_build_isolation_works(isolated, clone):
    site = isolated.site_packages
    assert (site / "kestro.pyi").is_file() and (site / "kestro" / "py.typed").is_file()
    assert sorted(p.name for p in (site / "kestro").iterdir()) == ["py.typed"]
    assert installed_module(isolated).parent == site
    # The module's own checks and the README's examples; the whole suite runs
    # on the repaired wheel below, built from the same source.
    out = isolated.python_run(*suite_args(clone, "test_module.py", "test_readme.py"))
    assert re.search(r"\d+ passed", out), out


def test_one_version_in_cmake_the_metadata_and_the_module(isolated):
    out = isolated.python_run("-c", "import kestro, importlib.metadata as m; "
                              "print(kestro.__version__, m.version('kestro'))")
    assert out.split() == [cmake_version()] * 2


def test_extras_install_the_pinned_requirements(isolated):
    out = isolated.python_run("-c", "import importlib.metadata as m\n"
                              "for d in m.distributions(): print(d.metadata['Name'], d.version)")
    installed = {n.lower().replace("_", "-"): v for n, v in (line.split() for line in out.splitlines())}
    wanted = pins("test")
    assert {n: installed.get(n) for n in wanted} == wanted
    metadata = isolated.python_run("-c", "import importlib.metadata as m; "
                                   "print('\\n'.join(m.requires('kestro')))").splitlines()
    for extra in ("test", "bench"):
        names = {Requirement(r).name.lower().replace("_", "-")
                 for r in metadata if f'extra == "{extra}"' in r}
        assert set(pins(extra)) <= names, extra


def test_build_backend_pin_is_the_one_of_requirements_build():
    text = (ROOT / "pyproject.toml").read_text()
    backend = re.search(r'requires = \["scikit-build-core==([^"]+)"\]', text).group(1)
    assert pins("build")["scikit-build-core"] == backend


def test_installed_stubs_type_check_an_example_of_the_whole_api(isolated, tmp_path):
    # mypy looks at the fresh environment's site-packages only, so the stubs
    # it uses are the installed ones; the example then runs there.
    run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
         "--python-executable", isolated.python, EXAMPLE], cwd=tmp_path, env=clean_env())
    assert isolated.python_run(EXAMPLE).strip() == "typing example ran"


def test_source_distribution_holds_the_build_and_nothing_built(sdist, clone):
    held = {p.relative_to(sdist).as_posix() for p in sdist.rglob("*") if p.is_file()}
    sources = {p.relative_to(clone).as_posix() for p in (clone / "src").rglob("*") if p.is_file()}
    assert sources <= held
    for needed in ("pyproject.toml", "CMakeLists.txt", "LICENSE", "README.md",
                   "tools/requirements_extras.py", "requirements/test.txt", "requirements/bench.txt"):
        assert needed in held, needed
    assert not any(p.startswith(("build/", ".ci/")) or p.endswith(".so") for p in held)


def test_pip_install_without_build_isolation_works(no_isolation):
    out = no_isolation.python_run(EXAMPLE)
    assert out.strip() == "typing example ran"
    assert installed_module(no_isolation).parent == no_isolation.site_packages


def elf_dynamic(data):
    elf = ELFFile(io.BytesIO(data))
    section = next(s for s in elf.iter_sections() if isinstance(s, DynamicSection))
    needed = [t.needed for t in section.iter_tags() if t.entry.d_tag == "DT_NEEDED"]
    runpath = [t.runpath for t in section.iter_tags() if t.entry.d_tag == "DT_RUNPATH"]
    runpath += [t.rpath for t in section.iter_tags() if t.entry.d_tag == "DT_RPATH"]
    return needed, runpath


def test_repaired_wheel_carries_yyjson_and_xxhash(wheels):
    plain, repaired = wheels
    # The platform tag is the oldest glibc whose symbol versions cover the
    # module and the libraries it carries.
    tag = re.search(r"[-.](manylinux_\d+_\d+_x86_64)\.whl$", repaired.name)
    assert tag, repaired.name
    shown = " ".join(run([sys.executable, "-m", "auditwheel", "show", repaired]).split())
    assert f'consistent with the following platform tag: "{tag.group(1)}"' in shown, shown
    with zipfile.ZipFile(repaired) as whl:
        names = whl.namelist()
        (module,) = [n for n in names if re.fullmatch(r"kestro\.cpython-[^/]*\.so", n)]
        needed, runpath = elf_dynamic(whl.read(module))
    assert "kestro.pyi" in names and "kestro/py.typed" in names
    for lib in LIBS:
        carried = [n for n in names if re.fullmatch(rf"kestro\.libs/lib{lib}-[0-9a-f]+\.so.*", n)]
        assert len(carried) == 1, names
        assert pathlib.PurePath(carried[0]).name in needed
        assert not any(n.startswith(f"lib{lib}.so") for n in needed), needed
    assert runpath == ["$ORIGIN/kestro.libs"]
    with zipfile.ZipFile(plain) as whl:
        assert not any(".libs/" in n for n in whl.namelist())


def system_copies(module):
    """The files the system's yyjson and xxHash are loaded from for `module`."""
    out = run(["ldd", module])
    found = {}
    for line in out.splitlines():
        m = re.match(r"\s*lib(yyjson|xxhash)\S* => (\S+)", line)
        if m:
            found[m.group(1)] = pathlib.Path(m.group(2)).resolve()
    assert set(found) == set(LIBS), out
    return sorted(found.values())


def hidden_runner(hide):
    """Runs a command in a mount namespace of its own in which every file of
    `hide` reads as empty, so the dynamic loader cannot use it; None where this
    user may not make one."""
    mounts = " && ".join(f"mount --bind /dev/null '{f}'" for f in hide)

    def runner(cmd, **kwargs):
        return run(["unshare", "--mount", "sh", "-c", f'{mounts} && exec "$@"', "sh", *cmd],
                   **kwargs)
    if shutil.which("unshare") is None or runner(["true"], check=False).returncode != 0:
        return None
    return runner


MAPPED = """
import json, kestro, sys
maps = open("/proc/self/maps").read().split("\\n")
print(json.dumps({lib: sorted({line.split()[-1] for line in maps if "/lib" + lib in line})
                  for lib in sys.argv[1:]}))
"""


def test_repaired_wheel_passes_the_suite_without_the_system_libraries(wheels, new_venv, clone,
                                                                      tmp_path):
    plain, repaired = wheels
    with zipfile.ZipFile(plain) as whl:
        whl.extractall(tmp_path / "plain")
    (plain_module,) = (tmp_path / "plain").glob("kestro.cpython-*.so")
    hidden = hidden_runner(system_copies(plain_module))
    if hidden is None:
        pytest.skip("cannot hide the system's libraries here (unshare --mount is not permitted)")

    # With the system copies out of reach the plain build no longer loads...
    failed = hidden([sys.executable, "-c", "import kestro"], check=False,
                    env=clean_env(PYTHONPATH=str(tmp_path / "plain")))
    assert failed.returncode != 0 and "ImportError" in failed.stdout, failed.stdout

    # ...while the repaired wheel, installed into a fresh environment, loads
    # the copies it carries and passes the whole suite.
    venv = new_venv("repaired")
    venv.pip("install", "-q", f"{repaired}[test]")
    mapped = json.loads(hidden([venv.python, "-c", MAPPED, *LIBS], cwd=tmp_path, env=clean_env()))
    carried = (venv.site_packages / "kestro.libs").resolve()
    for lib, paths in mapped.items():
        assert [pathlib.Path(p).parent for p in paths] == [carried], (lib, paths)
    out = hidden([venv.python, *suite_args(clone)], cwd=tmp_path, env=clean_env())
    assert re.search(r"\d+ passed", out), out
