import itertools
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


@pytest.fixture(scope="session")
def pg_server():
    """One PostgreSQL server for the whole session (see pgserver.py). Without
    the server's binaries the tests that need it skip, saying what to
    install; with DOVEK_REQUIRE_POSTGRES=1 (CI) they fail instead."""
    import pgserver
    bin_dir = pgserver.find_bin_dir()
    if bin_dir is None:
        if os.environ.get("DOVEK_REQUIRE_POSTGRES") == "1":
            pytest.fail(pgserver.INSTALL_HINT)
        pytest.skip(pgserver.INSTALL_HINT)
    server = pgserver.Server(bin_dir)
    yield server
    server.close()


_schemas = itertools.count()


@pytest.fixture
def pg_url(pg_server):
    """A store URL on the session's server, in a schema of this test's own."""
    return pg_server.url(f"t{os.getpid()}_{next(_schemas)}")


@pytest.fixture(params=["memory", "sqlite", "postgres"])
def core(request, tmp_path) -> dovek_native.Core:
    """Every test that takes a core runs on an in-memory core, on a core whose
    records live in a SQLite file, and on one in PostgreSQL: responses must
    be the same."""
    if request.param == "memory":
        return dovek_native.Core()
    if request.param == "postgres":
        return dovek_native.Core.open(request.getfixturevalue("pg_url"))
    return dovek_native.Core.open(f"sqlite:///{tmp_path}/core.db")


@pytest.fixture(params=["sqlite", "postgresql"])
def store(request, tmp_path):
    """A database store of the test's own: a SQLite file, or a schema on the
    session's PostgreSQL server (stores.py)."""
    import stores
    if request.param == "sqlite":
        return stores.SqliteStore(tmp_path)
    return stores.PostgresStore(request.getfixturevalue("pg_server"),
                                request.getfixturevalue("pg_url"))
