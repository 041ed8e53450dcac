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
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "dovek_native"],
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


@pytest.mark.parametrize("built, expected", [
    ("dovek_native-0.1.0-cp313-abi3-linux_x86_64.whl", "dovek_native-0.1.0-cp311-abi3-linux_x86_64.whl"),
    ("dovek_native-0.1.0-cp311-abi3-linux_x86_64.whl", "dovek_native-0.1.0-cp311-abi3-linux_x86_64.whl"),
    ("dovek_native-0.1.0-cp313-cp313-linux_x86_64.whl", "dovek_native-0.1.0-cp313-cp313-linux_x86_64.whl"),
])
def test_build_backend_tags_abi3_wheels_for_the_oldest_cpython(tmp_path, built, expected):
    import base64
    import hashlib
    import zipfile
    sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "backend"))
    try:
        from dovek_backend import retag_abi3
    finally:
        sys.path.pop(0)
    tag = built.split("-", 2)[2].removesuffix(".whl")
    files = {"dovek_native.abi3.so": b"\x7fELF", "dovek_native-0.1.0.dist-info/WHEEL":
             f"Wheel-Version: 1.0\nRoot-Is-Purelib: false\nTag: {tag}\n".encode()}

    def digest(data):
        return "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()

    record = "".join(f"{n},{digest(d)},{len(d)}\n" for n, d in files.items())
    with zipfile.ZipFile(tmp_path / built, "w") as z:
        for n, d in files.items():
            z.writestr(n, d)
        z.writestr("dovek_native-0.1.0.dist-info/RECORD", record + "dovek_native-0.1.0.dist-info/RECORD,,\n")

    assert retag_abi3(str(tmp_path), built) == expected
    assert [p.name for p in tmp_path.iterdir()] == [expected]
    with zipfile.ZipFile(tmp_path / expected) as z:
        wheel = z.read("dovek_native-0.1.0.dist-info/WHEEL").decode()
        assert f"Tag: {expected.split('-', 2)[2].removesuffix('.whl')}\n" in wheel
        for line in z.read("dovek_native-0.1.0.dist-info/RECORD").decode().splitlines():
            name, hashed, size = line.rsplit(",", 2)
            if hashed:  # every listed hash and size matches the file in the wheel
                assert (hashed, int(size)) == (digest(z.read(name)), len(z.read(name))), name
