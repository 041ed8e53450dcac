"""Commands end to end through the installed module: exact response texts,
effects across commands, concurrency, and poisoning after an internal fault."""

import json
import os
import subprocess
import sys
import textwrap
import threading

import pytest

import dovek_native
from conftest import SKILL_WRITER, cmd, skill

REVIEWER = skill("reviewer", name="Reviewer", source="system")

WORKED_EXAMPLE = (
    "## Assigned skills\n"
    "- @reviewer: Reviewer [system]\n"
    "\n"
    "## Mentioned skill: @writer\n"
    "@writer: Writer [user]\n"
    "Description: Writes prose\n"
    "Suggested tools: edit, search\n"
    "Instructions:\n"
    "Write well.\n"
    "\n"
    "## Skill context issues\n"
    "- @ghost: unknown mentioned skill: ghost\n"
    "\n"
    "## User message\n"
    "Please use @writer and @ghost"
)


def events(core, **fields):
    return json.loads(core.handle_json(cmd(**fields)))["events"]


def test_worked_example_chat_turn(core):
    assert core.handle_json(cmd(type="save_skill", skill=SKILL_WRITER)) == '{"type":"saved"}'
    assert core.handle_json(cmd(type="save_skill", skill=REVIEWER)) == '{"type":"saved"}'
    out = core.handle_json(
        cmd(type="chat_turn", session_id="s1", message="Please use @writer and @ghost",
            assigned_skills=["reviewer"])
    )
    assert out == json.dumps({"type": "chat_turn", "events": [{"type": "text", "value": WORKED_EXAMPLE}]},
                             separators=(",", ":"), ensure_ascii=False)


def test_task_run_prompt_and_run_records(core):
    core.handle_json(cmd(type="save_skill", skill=SKILL_WRITER))
    started = core.handle_json(
        cmd(type="start_run", task={"id": "t1", "title": "Fix bug"}, run_id="r1", session_id="s1")
    )
    assert started == (
        '{"type":"run_started","run":{"id":"r1","task_id":"t1","status":"running","raw_status":null,'
        '"session_id":"s1","execution_id":null,"checkpoint_id":null,"error":null,"started_at":null,'
        '"updated_at":null,"ended_at":null}}'
    )
    ev = events(core, type="run_task", run_id="r1", task={"id": "t2", "title": "Fix bug"},
                message="see @writer", assigned_skills=[])
    assert len(ev) == 1 and ev[0]["type"] == "text"
    assert ev[0]["value"].endswith("## User message\nTask: Fix bug\n\nsee @writer")
    assert "## Mentioned skill: @writer" in ev[0]["value"]


def test_call_tool_unknown_tool_events(core):
    out = core.handle_json('["call_tool",{"id":"c1","name":"echo","input":{"b":[1,3.0,-0.0],"a":"\\u0001/é"}}]')
    assert out == (
        '{"type":"tool_events","events":[{"type":"tool_call","id":"c1","name":"echo",'
        '"input":{"a":"\\u0001/é","b":[1,3.0,-0.0]}},{"type":"error","message":"tool not found: echo"}]}'
    )


def test_switch_model_echoes_model(core):
    model = {"provider": {"id": "p"}, "id": "m", "extra": 1}
    assert core.handle_json(cmd(type="switch_model", model=model)) == (
        '{"type":"model_switched","model":{"provider":{"id":"p"},"id":"m"}}'
    )


@pytest.mark.parametrize(
    "text",
    [
        "",
        "   \n",
        '{"type":"save_skill"}',
        '{"type":"Chat_Turn","session_id":"s","message":"m","assigned_skills":[]}',
        '{"type":"chat_turn","session_id":"s","message":"m","assigned_skills":null}',
        '{"type":"chat_turn","session_id":"s","message":"m","message":"n","assigned_skills":[]}',
        '"save_skill"',
        '{"type":1}',
        '["call_tool"]',
        '{"type":"switch_model","model":{"provider":"p","id":"m"}} x',
        '{"type":"call_tool","call":{"id":"c","name":"n","input":' + "[" * 200 + "]" * 200 + "}}",
    ],
)
def test_malformed_commands_change_nothing(core, text):
    with pytest.raises(RuntimeError) as info:
        core.handle_json(text)
    assert str(info.value) == "decode CoreCommand JSON"


def test_nesting_limit_boundary(core):
    # The command object is level 1, `call` level 2, so 125 more levels reach 127.
    ok = '{"type":"call_tool","call":{"id":"c","name":"n","input":' + "[" * 125 + "]" * 125 + "}}"
    assert json.loads(core.handle_json(ok))["type"] == "tool_events"
    too_deep = '{"type":"call_tool","call":{"id":"c","name":"n","input":' + "[" * 126 + "]" * 126 + "}}"
    with pytest.raises(RuntimeError, match="^decode CoreCommand JSON$"):
        core.handle_json(too_deep)


def test_trailing_whitespace_accepted(core):
    assert core.handle_json(cmd(type="save_skill", skill=skill("a")) + " \n\t\r") == '{"type":"saved"}'


def test_responses_of_any_size_follow_each_other(core):
    """Responses share one buffer per thread: each must be exactly its own
    text after a longer or a much longer one (past the size kept between
    calls) and on a second thread."""
    def echo(n):
        text = "é" * n
        out = core.handle_json(cmd(type="call_tool", call={"id": "c", "name": "x", "input": text}))
        assert json.loads(out)["events"][0]["input"] == text
        assert out.endswith('"message":"tool not found: x"}]}')

    sizes = [3, 40_000, 10, 200_000, 0, 70_000, 1]
    for n in sizes:
        echo(n)
    failures = []

    def on_thread():
        try:
            for n in reversed(sizes):
                echo(n)
        except Exception as e:  # asserted on the main thread
            failures.append(e)

    worker = threading.Thread(target=on_thread)
    worker.start()
    worker.join()
    assert not failures


def mixed_commands(core, tag: str, n: int, failures: list):
    """Runs n commands on `core`, each checking the effect of the one before."""
    try:
        for i in range(n):
            sid = f"{tag}-{i}"
            kind = i % 4
            if kind == 0:
                out = core.handle_json(cmd(type="save_skill", skill=skill(sid, content=f"body {sid}")))
                assert out == '{"type":"saved"}'
            elif kind == 1:
                prev = f"{tag}-{i - 1}"
                ev = events(core, type="chat_turn", session_id=tag, message=f"use @{prev}", assigned_skills=[])
                assert f"## Mentioned skill: @{prev}\n" in ev[0]["value"], ev
                assert f"Instructions:\nbody {prev}" in ev[0]["value"]
            elif kind == 2:
                out = core.handle_json(cmd(type="start_run", task={"id": sid, "title": "T"}, run_id=sid, session_id=tag))
                assert json.loads(out)["run"]["status"] == "running"
            else:
                ev = events(core, type="call_tool", call={"id": sid, "name": "x", "input": i})
                assert ev == [{"type": "tool_call", "id": sid, "name": "x", "input": i},
                              {"type": "error", "message": "tool not found: x"}]
    except Exception as e:  # collected and asserted on the main thread
        failures.append(e)


@pytest.mark.parametrize("shared", [True, False], ids=["one-core", "separate-cores"])
def test_threads_issue_mixed_commands(shared):
    n_threads, n = 8, 2000
    cores = [dovek_native.Core()] * n_threads if shared else [dovek_native.Core() for _ in range(n_threads)]
    failures: list = []
    threads = [threading.Thread(target=mixed_commands, args=(cores[t], f"t{t}", n, failures))
               for t in range(n_threads)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
    # No save was lost: every skill saved by every thread is found.
    for t in range(n_threads):
        ids = [f"t{t}-{i}" for i in range(0, n, 4)]
        text = events(cores[t], type="chat_turn", session_id="check", message="", assigned_skills=ids)[0]["value"]
        assert "missing" not in text
        assert all(f"- @{i}: " in text for i in ids)


HOOKS_DIR = os.environ.get("DOVEK_TEST_HOOKS_MODULE_DIR")


@pytest.mark.skipif(not HOOKS_DIR, reason="needs the test-hooks build (make test sets it up)")
def test_internal_fault_poisons_only_its_core():
    script = textwrap.dedent(
        """
        import dovek_native as d, os, sys
        assert os.path.dirname(d.__file__) == sys.argv[1], d.__file__
        throw = '{"type":"save_skill","skill":{"id":"__throw__","name":"T","source":"user","read_only":false,"content":"","suggested_tools":[]}}'
        save = '{"type":"save_skill","skill":{"id":"a","name":"A","source":"user","read_only":false,"content":"","suggested_tools":[]}}'

        def expect_fault(fn):
            try:
                fn()
            except Exception as e:
                raise AssertionError("an Exception subclass escaped: %r" % e)
            except BaseException as e:
                assert type(e).__bases__ == (BaseException,), type(e).__mro__
                assert type(e).__name__ not in dir(d)
                assert "broken invariant" in str(e), str(e)
                return
            raise AssertionError("no exception")

        def expect_poisoned(fn):
            try:
                fn()
            except RuntimeError as e:
                assert str(e) == "core state lock was poisoned", str(e)
                return
            raise AssertionError("not poisoned")

        c = d.Core()
        assert c.handle_json(save) == '{"type":"saved"}'
        expect_fault(lambda: c.handle_json(throw))
        expect_poisoned(lambda: c.handle_json(save))
        expect_poisoned(c.reset)
        fresh = d.Core()
        assert fresh.handle_json(save) == '{"type":"saved"}'
        assert d.handle_json(save) == '{"type":"saved"}'   # CORE unaffected
        expect_fault(lambda: d.handle_json(throw))
        expect_poisoned(lambda: d.handle_json(save))
        expect_poisoned(d.reset)
        assert d.Core().handle_json(save) == '{"type":"saved"}'
        print("ok")
        """
    )
    result = subprocess.run([sys.executable, "-c", script, HOOKS_DIR], env={**os.environ, "PYTHONPATH": HOOKS_DIR},
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.strip() == "ok"
