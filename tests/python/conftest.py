import json
import os

import pytest

import dovek_native

# A run against a particular build of the module (e.g. the sanitised one)
# names its directory here, so that a stray installed copy earlier on
# sys.path cannot silently take its place.
_EXPECTED_DIR = os.environ.get("DOVEK_EXPECT_MODULE_DIR")
if _EXPECTED_DIR:
    _loaded = os.path.realpath(os.path.dirname(dovek_native.__file__))
    if _loaded != os.path.realpath(_EXPECTED_DIR):
        raise pytest.UsageError(
            f"dovek_native was imported from {_loaded}, expected {_EXPECTED_DIR}")


def drop_sanitizer_preload(monkeypatch) -> None:
    """Keeps a preloaded ASan runtime (scripts/test-asan.sh) away from child
    programs that are not ours: rustc crashes with it (it brings its own
    allocator) and the bash that uv starts through pyenv's shims fails on its
    own leak reports. Our module is never loaded in those children."""
    preload = os.environ.get("LD_PRELOAD", "")
    if "libasan" in preload or "libubsan" in preload or "libclang_rt.asan" in preload:
        monkeypatch.delenv("LD_PRELOAD")


def cmd(**fields) -> str:
    return json.dumps(fields)


SKILL_WRITER = {
    "id": "writer",
    "name": "Writer",
    "source": "user",
    "read_only": False,
    "description": "Writes prose",
    "content": "Write well.",
    "suggested_tools": ["edit", "search"],
}


def skill(id: str, **overrides) -> dict:
    base = {
        "id": id,
        "name": id.title(),
        "source": "system",
        "read_only": False,
        "content": "",
        "suggested_tools": [],
    }
    base.update(overrides)
    return base


@pytest.fixture(params=["memory", "sqlite"])
def core(request, tmp_path) -> dovek_native.Core:
    """Every test that takes a core runs on an in-memory core and on a core
    whose records live in a SQLite file: responses must be the same."""
    if request.param == "memory":
        return dovek_native.Core()
    return dovek_native.Core.open(f"sqlite:///{tmp_path}/core.db")
