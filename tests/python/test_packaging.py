"""The installed artifact: stable-ABI file name, exported symbols, stubs, and
the same file importing on older interpreters."""

import glob
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import dovek_native

MODULE = Path(dovek_native.__file__)


def test_module_is_the_abi3_build():
    assert MODULE.name == "dovek_native.abi3.so"


def test_only_the_init_function_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm not available")
    out = subprocess.run([nm, "-D", "--defined-only", str(MODULE)], check=True,
                         capture_output=True, text=True).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit_dovek_native"]


STUB_SOURCE = Path(__file__).resolve().parents[2] / "src" / "binding"


def test_stubs_match_the_module():
    # The stub of the source tree, checked against whichever build of the
    # module this session imported (installed, or a sanitizer build).
    env = {**os.environ, "MYPYPATH": str(STUB_SOURCE)}
    if "ASAN_OPTIONS" in env:
        # Under the sanitizers this child only compares stubs: the leak
        # check at its exit adds nothing to that, and its tracer thread once
        # died of a segfault of its own on a loaded machine (failing a run
        # that had found no issue). This process's own leak check stays on.
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "dovek_native", "--allowlist",
                             str(STUB_SOURCE / "stubtest_allowlist.txt")],
                            capture_output=True, text=True, cwd="/", env=env)
    assert result.returncode == 0, result.stdout + result.stderr


def test_stubs_are_installed_beside_the_module():
    if MODULE.parent.name != "site-packages":
        pytest.skip("module not imported from an installation")
    stub = (STUB_SOURCE / "dovek_native.pyi").read_text()
    assert (MODULE.parent / "dovek_native.pyi").read_text() == stub
    assert (MODULE.parent / "dovek_native-stubs" / "__init__.pyi").read_text() == stub


def older_interpreters():
    found = []
    for version in ("3.11", "3.12"):
        candidates = sorted(glob.glob(os.path.expanduser(f"~/.pyenv/versions/{version}*/bin/python{version}")))
        candidates += [p for p in (shutil.which(f"python{version}"), f"/usr/bin/python{version}") if p]
        for c in candidates:
            if c and os.path.exists(c):
                found.append(pytest.param(c, id=version))
                break
        else:
            found.append(pytest.param(None, id=version))
    return found


@pytest.mark.parametrize("python", older_interpreters())
def test_same_file_imports_on_older_interpreters(python, tmp_path):
    if python is None:
        pytest.skip("interpreter not installed")
    shutil.copy(MODULE, tmp_path / MODULE.name)
    code = (
        "import dovek_native as d, sys\n"
        "print(sys.version_info[:2], d.handle_json('{\"type\":\"save_skill\",\"skill\":"
        "{\"id\":\"a\",\"name\":\"A\",\"source\":\"user\",\"read_only\":false,"
        "\"content\":\"\",\"suggested_tools\":[]}}'))\n"
        "print(d.runtime_list_skills_json(sys.argv[1]))\n"
    )
    result = subprocess.run([python, "-c", code, str(tmp_path / "none")], cwd=tmp_path,
                            env={**os.environ, "PYTHONPATH": str(tmp_path)},
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[1:] == ["[]"]
    assert result.stdout.splitlines()[0].endswith('{"type":"saved"}')


def test_the_installed_wheel_was_built_by_the_oldest_cpython_it_serves():
    """meson-python tags an abi3 wheel for the interpreter that builds it:
    cp311 means the module was compiled against 3.11's headers, the floor of
    the stable ABI it targets."""
    from importlib import metadata
    try:
        dist = metadata.distribution("dovek_native")
    except metadata.PackageNotFoundError:
        pytest.skip("dovek_native is not installed")
    if Path(dist.locate_file("dovek_native.abi3.so")).resolve() != MODULE.resolve():
        pytest.skip("testing a build tree, not the installed wheel")
    wheel = dist.read_text("WHEEL")
    assert wheel is not None
    tags = [line.split(": ", 1)[1] for line in wheel.splitlines() if line.startswith("Tag: ")]
    assert tags and all(t.startswith("cp311-abi3-") for t in tags), tags
