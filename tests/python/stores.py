"""What the tests of the database stores share: commands, the checks of a
stored chat, and one object per database (SqliteStore, PostgresStore) that
names a store URL and reads or tampers with its tables from outside (Python's
sqlite3 module, psql). conftest's `store` fixture gives one of each."""

import contextlib
import json
import os
import random
import sqlite3
import subprocess
import sys
import textwrap

import pytest

import dovek_native
from conftest import cmd, skill

KINDS = ("skill", "session", "task", "run", "profile")


def turn(core, session: str, message: str, assigned=()) -> str:
    return core.handle_json(cmd(type="chat_turn", session_id=session, message=message,
                                assigned_skills=list(assigned)))


def records(core) -> list:
    return [core.read_json(kind) for kind in KINDS] + [core.model_json()]


def messages(url: str, session: str) -> list:
    """The session's messages as (role, content), read by a new core."""
    stored = json.loads(dovek_native.Core.open(url).read_json("session", session))
    return [(m["role"], m["content"]) for m in stored["messages"]] if stored else []


def check_turns(stored: list) -> list:
    """Every user message is followed by its reply (which ends with it):
    no half turn, no interleaving. Returns the user messages."""
    assert len(stored) % 2 == 0
    users = []
    for (role_u, user), (role_a, reply) in zip(stored[0::2], stored[1::2]):
        assert (role_u, role_a) == ("user", "assistant")
        assert reply.endswith("## User message\n" + user)
        users.append(user)
    return users


def run_children(script: str, *args, count: int, timeout=120, env=None) -> list:
    procs = [subprocess.Popen([sys.executable, "-c", textwrap.dedent(script), *map(str, args), str(i)],
                              env=env or dict(os.environ), stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True)
             for i in range(count)]
    results = [p.communicate(timeout=timeout) for p in procs]
    for p, (out, err) in zip(procs, results):
        assert p.returncode == 0, out + err
    return [out for out, _ in results]


def command_mix(rng: random.Random, n: int) -> list:
    ids = ["", "a", "B", "ab", "writer", "é"]
    out = []
    for i in range(n):
        kind = rng.randrange(9)
        sid = rng.choice(ids)
        if kind == 0:
            out.append(cmd(type="save_skill", skill=skill(sid, content=f"c{i}", source_ref=rng.choice([None, "x"]),
                                                          suggested_tools=["t", sid], description=rng.choice([None, "d"]))))
        elif kind == 1:
            out.append(cmd(type="save_profile", profile={"provider": {"id": sid}, "secret": {"key": f"k{i}"}}))
        elif kind == 2:
            out.append(cmd(type="switch_model", model={"provider": {"id": sid}, "id": f"m{i}"}))
        elif kind in (3, 4):
            out.append(cmd(type="chat_turn", session_id=rng.choice(ids), message=f"turn {i} @{sid} @nope",
                           assigned_skills=rng.sample(ids, 2)))
        elif kind == 5:
            out.append(cmd(type="start_run", task={"id": sid, "title": f"T{i}", "status": "x"},
                           run_id=rng.choice(ids), session_id=sid))
        elif kind == 6:
            out.append(cmd(type="run_task", run_id=rng.choice(ids), task={"id": sid, "title": f"T{i}"},
                           message=f"go @{sid}", assigned_skills=[sid]))
        elif kind == 7:
            out.append(cmd(type="call_tool", call={"id": "c", "name": sid, "input": {"i": i}}))
        else:
            out.append(rng.choice(['{"type":"nope"}', "[", '{"type":"chat_turn"}']))
    return out


def outcome(core, text: str) -> str:
    try:
        return core.handle_json(text)
    except RuntimeError as e:
        return f"error: {e}"


def store_good_and_bad(core) -> None:
    """A record of every kind under the keys `good` and `bad`."""
    for key in ("good", "bad"):
        core.handle_json(cmd(type="save_skill", skill=skill(key)))
        turn(core, key, "hello")
        core.handle_json(cmd(type="start_run", task={"id": key, "title": "T"}, run_id=key,
                             session_id=key))
        core.handle_json(cmd(type="save_profile", profile={"provider": {"id": key},
                                                           "secret": {"key": "K"}}))


# Where another program writes bytes that are not UTF-8 into a stored record:
# the record's kind, its table, the column and the column naming its key.
NOT_UTF8 = [
    ("skill", "skills", "content", "key", b"\xff"),
    ("session", "messages", "content", "session", b"caf\xc3"),      # cut short
    ("task", "tasks", "title", "key", b"\xed\xa0\x80"),            # a surrogate
    ("run", "runs", "error", "key", b"\xc0\xaf"),                   # overlong
    ("profile", "profiles", "secret_key", "key", b"\x80 stray"),
]


def check_not_utf8_record(core, kind: str) -> None:
    """The bad record and the list holding it fail naming it; the good record
    and every other kind still read."""
    message = f"^stored {kind} `bad` is not valid UTF-8$"
    for key in ("bad", None):
        with pytest.raises(RuntimeError, match=message):
            core.read_json(kind, key)
    assert json.loads(core.read_json(kind, "good")) is not None
    for other in KINDS:
        if other != kind:
            assert len(json.loads(core.read_json(other))) == 2


class SqliteStore:
    """A store file in the test's folder."""

    name = "sqlite"

    def __init__(self, folder):
        self.folder = folder
        self.path = folder / "agent.db"
        self.url = f"sqlite:///{self.path}"

    def with_options(self, query: str) -> str:
        return f"{self.url}?{query}"

    def rows(self, sql: str) -> list:
        db = sqlite3.connect(self.path)
        try:
            return db.execute(sql).fetchall()
        finally:
            db.close()

    def count(self, table: str) -> int:
        return self.rows(f"SELECT count(*) FROM {table}")[0][0]

    def snapshot(self, tables) -> list:
        return [self.rows(f"SELECT * FROM {t} ORDER BY 1") for t in tables]

    def refuse_inserts(self, table: str, when: str) -> None:
        """Inserts into `table` where `when` holds fail with "refused"."""
        self._exec(f"CREATE TRIGGER refuse BEFORE INSERT ON {table} WHEN {when} "
                   "BEGIN SELECT RAISE(ABORT, 'refused'); END")

    def allow_inserts(self, table: str) -> None:
        self._exec("DROP TRIGGER refuse")

    def drop(self, table: str) -> None:
        self._exec(f"DROP TABLE {table}")

    def _exec(self, sql: str) -> None:
        db = sqlite3.connect(self.path)
        db.execute(sql)
        db.commit()
        db.close()

    # Another connection holding the database: a command waits its busy
    # timeout, then fails with this message.
    busy_options = ["busy_timeout_ms=50"]
    busy_errors = [r"^store busy: database locked by another connection for over 50 ms$"]

    @contextlib.contextmanager
    def held(self):
        other = sqlite3.connect(self.path, isolation_level=None)
        other.execute("BEGIN IMMEDIATE")
        try:
            yield
        finally:
            other.execute("ROLLBACK")
            other.close()

    def check_clean(self) -> None:
        """Intact, and closed cleanly by every core (none is open)."""
        assert self.rows("PRAGMA integrity_check") == [("ok",)]
        assert not (self.folder / "agent.db-wal").exists()


class PostgresStore:
    """A schema of the test's own on the session's server."""

    name = "postgresql"

    def __init__(self, server, url: str):
        self.server = server
        self.url = url
        self.schema = url.split("schema=")[1].split("&")[0]

    def with_options(self, query: str) -> str:
        return f"{self.url}&{query}"

    def count(self, table: str) -> int:
        return int(self.server.psql(f"SELECT count(*) FROM {self.schema}.{table}"))

    def snapshot(self, tables) -> list:
        return [self.server.psql(f"SELECT * FROM {self.schema}.{t} ORDER BY 1") for t in tables]

    def refuse_inserts(self, table: str, when: str) -> None:
        s = self.schema
        self.server.psql(
            f"CREATE FUNCTION {s}.refuse() RETURNS trigger LANGUAGE plpgsql AS "
            f"$$BEGIN RAISE EXCEPTION 'refused'; END$$; CREATE TRIGGER refuse BEFORE INSERT "
            f"ON {s}.{table} FOR EACH ROW WHEN ({when}) EXECUTE FUNCTION {s}.refuse()")

    def drop(self, table: str) -> None:
        self.server.psql(f"DROP TABLE {self.schema}.{table}")

    def allow_inserts(self, table: str) -> None:
        self.server.psql(f"DROP TRIGGER refuse ON {self.schema}.{table}; "
                         f"DROP FUNCTION {self.schema}.refuse()")

    # A record locked past lock_timeout_ms, and a statement past
    # statement_timeout_ms.
    busy_options = ["lock_timeout_ms=100", "lock_timeout_ms=0&statement_timeout_ms=100"]
    busy_errors = [r"^store busy: a record stayed locked by another connection for over 100 ms",
                   r"^store timeout: a statement ran past statement_timeout_ms=100$"]

    @contextlib.contextmanager
    def held(self, seconds=3):
        """A psql session holding the messages table locked."""
        psql = subprocess.Popen(
            [os.path.join(self.server.bin, "psql"), "-X", "-q", "-h", self.server.root, "-U", "dovek",
             "-d", "postgres"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
            env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"})
        psql.stdin.write(f"BEGIN; LOCK TABLE {self.schema}.messages; \\echo locked\n"
                         f"SELECT pg_sleep({seconds}); COMMIT;\n")
        psql.stdin.flush()
        assert psql.stdout.readline().strip() == "locked"
        try:
            yield psql
        finally:
            psql.stdin.close()
            psql.wait(timeout=60)

    def check_clean(self) -> None:
        pass


# A child process taking `argv[2]` turns on two shared sessions (and saving
# a skill every tenth), as process number argv[3].
TURNS = """
import json, sys, dovek_native
core = dovek_native.Core.open(sys.argv[1])
for i in range(int(sys.argv[2])):
    core.handle_json(json.dumps({"type": "chat_turn", "session_id": f"shared{i % 2}",
                                 "message": f"p{sys.argv[3]} turn {i}", "assigned_skills": []}))
    if i % 10 == 0:
        skill = {"id": f"s{sys.argv[3]}-{i}", "name": "n", "source": "user", "read_only": False,
                 "content": "c", "suggested_tools": []}
        core.handle_json(json.dumps({"type": "save_skill", "skill": skill}))
print("ok")
"""
