"""Tools on a Core, as an application uses them: Python functions and
installed skills registered as tools, called through `call_tool`, listed for
a model; and the records a core stores, read back."""

import collections
import enum
import gc
import json
import os
import shutil
import signal
import subprocess
import sys
import threading
import time
import weakref

import pytest

import dovek_native as dn
from test_host_process import UNDER_ASAN
from test_runtime import EXAMPLES, VENV_BIN, real_tools, script_skill, wait_gone  # noqa: F401


def call(core, name, value, id="c1"):
    response = json.loads(core.handle_json(json.dumps(
        {"type": "call_tool", "call": {"id": id, "name": name, "input": value}})))
    assert response["type"] == "tool_events" and len(response["events"]) == 2
    assert response["events"][0] == {"type": "tool_call", "id": id, "name": name, "input": value}
    return response["events"][1]


def result(core, name, value):
    second = call(core, name, value)
    assert second["type"] == "tool_result", second
    return second["value"]


def error(core, name, value):
    second = call(core, name, value)
    assert second["type"] == "error", second
    return second["message"]


def nested(depth):
    v = None
    for _ in range(depth):
        v = [v]
    return v


# ---- Python tools: conversion both ways ----------------------------------------

@pytest.mark.parametrize("value", [
    None, True, False, 0, -1, 2**63 - 1, -2**63, 2**64 - 1, 1.5, -0.25, "", "é\u2603\U0001F600",
    [], [1, [2, [3]]], {}, {"b": 1, "a": [None, {"c": "d"}]}, nested(125),
])
def test_values_pass_through_an_identity_tool(value):
    core = dn.Core()
    seen = []
    core.add_tool("id", lambda v: seen.append(v) or v)
    assert result(core, "id", value) == value
    assert seen == [value] and type(seen[0]) is type(value)


def test_input_types_and_key_order():
    core = dn.Core()
    core.add_tool("types", lambda v: {k: type(x).__name__ for k, x in v.items()} | {"keys": list(v)})
    out = result(core, "types", {"z": 1, "a": 1.0, "m": [], "b": None, "c": "s", "d": True})
    assert out == {"z": "int", "a": "float", "m": "list", "b": "NoneType", "c": "str", "d": "bool",
                   "keys": ["a", "b", "c", "d", "m", "z"]}
    core.add_tool("tuple", lambda v: (1, "x", (None,)))
    assert result(core, "tuple", None) == [1, "x", [None]]
    core.add_tool("deepest", lambda v: nested(127))  # one more level is refused (below)
    assert result(core, "deepest", None) == nested(127)


cycle_list = []
cycle_list.append(cycle_list)
cycle_dict = {}
cycle_dict["self"] = [cycle_dict]


@pytest.mark.parametrize("returned, message", [
    ({1, 2}, "unsupported type set"),
    (b"x", "unsupported type bytes"),
    (object(), "unsupported type object"),
    (2**64, "int out of the 64-bit range"),
    (-2**63 - 1, "int out of the 64-bit range"),
    ({1: "a"}, "dict key of type int is not str"),
    (float("nan"), "float is not finite"),
    ([float("inf")], "float is not finite"),
    ("\ud800", "str is not valid Unicode (UnicodeEncodeError)"),
    (cycle_list, "list contains itself"),
    (cycle_dict, "dict contains itself"),
    (nested(128), "list nested deeper than 127 levels"),
])
def test_unconvertible_results_are_error_events(returned, message):
    core = dn.Core()
    core.add_tool("bad", lambda v: returned)
    assert error(core, "bad", 1) == "cannot convert tool result to JSON: " + message
    core.add_tool("ok", lambda v: v)
    assert result(core, "ok", 1) == 1  # the core goes on


class Color(enum.IntEnum):
    RED = 7


class Text(str):
    pass


@pytest.mark.parametrize("returned, written", [
    ({"b": 1, "a": {"d": [True], "c": None}, "é": 0.5}, '{"a":{"c":null,"d":[true]},"b":1,"é":0.5}'),
    ({"b": {"z": {"y": 1, "x": 2}, "a": 3}, "a": [{"k": "v", "j": -2}]},
     '{"a":[{"j":-2,"k":"v"}],"b":{"a":3,"z":{"x":2,"y":1}}}'),
    (collections.OrderedDict([("y", Color.RED), ("x", Text("t\n\u0001"))]),
     '{"x":"t\\n\\u0001","y":7}'),
    (collections.namedtuple("P", "x y")(1.0, -0.0), "[1.0,-0.0]"),
    ([2**64 - 1, -2**63, "\"q\""], '[18446744073709551615,-9223372036854775808,"\\"q\\""]'),
])
def test_results_are_written_with_sorted_keys(returned, written):
    core = dn.Core()
    core.add_tool("t", lambda v: returned)
    response = core.handle_json('{"type":"call_tool","call":{"id":"c","name":"t","input":null}}')
    assert response.endswith(',{"type":"tool_result","id":"c","value":' + written + "}]}")


@pytest.mark.parametrize("returned, message", [
    ({"b": {1, 2}, "a": b"x"}, "unsupported type set"),  # the first in the dict's order
    ({"b": [1, {2: 3}], "a": object()}, "dict key of type int is not str"),
    ({"z": 1, "a": [float("nan")]}, "float is not finite"),
])
def test_the_first_unconvertible_value_is_named(returned, message):
    core = dn.Core()
    core.add_tool("bad", lambda v: returned)
    assert error(core, "bad", 1) == "cannot convert tool result to JSON: " + message


@pytest.mark.parametrize("input_text, echoed, keys", [
    ('{"b":1,"a":2,"a":3}', '{"a":3,"b":1}', ["a", "b"]),
    ('{"a":{"z":[{"y":1,"x":2}],"b":"\\u00e9\\/"}}', '{"a":{"b":"é/","z":[{"x":2,"y":1}]}}', ["a"]),
    ('[1e2, -0, 0.1, {}]', "[100.0,0,0.1,{}]", None),
    ('{"g":1,"f":2,"e":3,"d":4,"c":5,"b":6,"a":7,"a":8}',
     '{"a":8,"b":6,"c":5,"d":4,"e":3,"f":2,"g":1}', list("abcdefg")),
    ('{"a": 1, "b": 2, "c": 3, "d": 4, "e": 5, "f": [0.5]}',
     '{"a":1,"b":2,"c":3,"d":4,"e":5,"f":[0.5]}', list("abcdef")),
])
def test_inputs_are_echoed_and_converted_as_read(input_text, echoed, keys):
    core = dn.Core()
    seen = []
    core.add_tool("id", lambda v: seen.append(v) or v)
    response = core.handle_json('{"type":"call_tool","call":{"id":"c","name":"id","input":%s}}'
                                % input_text)
    assert response == ('{"type":"tool_events","events":[{"type":"tool_call","id":"c","name":"id",'
                        '"input":%s},{"type":"tool_result","id":"c","value":%s}]}' % (echoed, echoed))
    assert seen == [json.loads(echoed)] and (keys is None or list(seen[0]) == keys)


def test_inputs_of_one_shape_arrive_as_fresh_dicts():
    # Dicts of keys seen before are made from a kept dict of that shape: a
    # tool that changes its input must not change what the next call gets.
    core = dn.Core()
    seen = []

    def mutate(v):
        seen.append(json.dumps(v))
        v.clear()
        v["added"] = True
        return None

    core.add_tool("mutate", mutate)
    keys = [f"k{i}" for i in range(8)]
    inputs = [{k: [i, {k: i for k in keys}] for k in keys} for i in range(4)]
    inputs += [{k: i for k in reversed(keys)} for i in range(2)]
    inputs += [{k + "x": None for k in keys}, {k: "v" for k in keys[:7]}, inputs[0]]
    for value in inputs:
        assert call(core, "mutate", value)["type"] == "tool_result"
    assert seen == [json.dumps(dict(sorted(v.items()))) for v in inputs]


@pytest.mark.parametrize("kept, other", [
    ("k", "l"), ("k", "kk"), ("key45", "key46"), ("keyseven", "keysevem"),
    ("key-twelve!!", "key-twelve!?"), ("z key of 21 bytes ...", "z key of 21 bytes ..,"),
    ("k\u00e9", "k\u00e8"), ("z" * 1100, "z" * 1099 + "y"),
])
def test_objects_one_key_apart_keep_their_own_keys(kept, other):
    # Same member count and first keys, one key a byte apart (or longer):
    # whichever shape was seen before, each dict has exactly its own keys.
    core = dn.Core()
    seen = []
    core.add_tool("id", lambda v: seen.append(v) or v)
    shapes = [["a0", "a1", "b0", "b1", "b2", "b3", key] for key in (kept, other)]
    inputs = [dict(zip(shapes[s], range(i, i + 7))) for i, s in enumerate([0, 1, 0, 0, 1, 1, 0, 1, 0])]
    for value in inputs:
        assert result(core, "id", value) == value
    assert [list(v.items()) for v in seen] == [list(v.items()) for v in inputs]


@pytest.mark.parametrize("ensure_ascii", [True, False])
def test_strs_of_any_length_keep_a_character_past_ascii_anywhere(ensure_ascii):
    strings = ["x" * n for n in range(26)] + [
        "x" * k + c + "x" * (n - k - 1) for n in (1, 3, 4, 7, 8, 9, 16, 17, 25)
        for k in range(n) for c in ("\u00e9", "\U0001F600")]
    core = dn.Core()
    seen = []
    core.add_tool("id", lambda v: seen.append(v) or v)
    text = json.dumps({"type": "call_tool", "call": {"id": "c", "name": "id", "input": strings}},
                      ensure_ascii=ensure_ascii)
    assert json.loads(core.handle_json(text))["events"][1]["value"] == strings
    assert seen == [strings]


def test_a_tool_may_call_tools_on_its_own_core():
    core = dn.Core()
    core.add_tool("inner", lambda v: {"inner": v})
    core.add_tool("outer", lambda v: [v, call(core, "inner", {"n": [v["n"], 2]})["value"]])
    assert result(core, "outer", {"n": 1}) == [{"n": 1}, {"inner": {"n": [1, 2]}}]


@pytest.mark.parametrize("raised, message", [
    (ValueError("boom"), "boom"),
    (RuntimeError(), "RuntimeError"),
    (KeyError("k"), "'k'"),
])
def test_exceptions_are_error_events(raised, message):
    core = dn.Core()

    def fails(v):
        raise raised
    core.add_tool("fails", fails)
    assert error(core, "fails", None) == message


@pytest.mark.parametrize("raised", [KeyboardInterrupt, SystemExit])
def test_base_exceptions_propagate_unchanged(raised):
    core = dn.Core()
    original = raised("stop")

    def stops(v):
        raise original
    core.add_tool("stops", stops)
    with pytest.raises(raised) as info:
        core.handle_json('{"type":"call_tool","call":{"id":"c","name":"stops","input":0}}')
    assert info.value is original
    core.add_tool("ok", lambda v: v)
    assert result(core, "ok", 7) == 7


# ---- the registry ---------------------------------------------------------------

def test_listing_replacing_and_removing_tools():
    core = dn.Core()

    def documented(v):
        """Adds one."""
        return v + 1
    core.add_tool("b", documented)
    core.add_tool("a", lambda v: v, description="Echo", input_schema={"type": "object", "b": [1.5], "a": None})
    core.add_tool("c", lambda v: v)
    assert json.loads(core.tools_json()) == [
        {"name": "a", "description": "Echo", "input_schema": {"a": None, "b": [1.5], "type": "object"}},
        {"name": "b", "description": "Adds one.", "input_schema": None},
        {"name": "c", "description": None, "input_schema": None},
    ]
    assert core.tools_json().startswith('[{"name":"a","description":"Echo","input_schema":{"a":null,')
    core.add_tool("b", lambda v: "replaced")
    assert result(core, "b", 1) == "replaced"
    assert core.remove_tool("b") is True and core.remove_tool("b") is False
    assert error(core, "b", 1) == "tool not found: b"
    core.reset()
    assert core.tools_json() == "[]"
    assert error(core, "a", 1) == "tool not found: a"


@pytest.mark.parametrize("args, kwargs, exception, message", [
    (("t", 1), {}, TypeError, "argument 'function': expected a callable, got int"),
    ((1, print), {}, TypeError, "argument 'name': expected str, got int"),
    (("t", print, "d"), {}, TypeError, "Core.add_tool() takes 2 positional arguments but 3 were given"),
    (("t", print), {"input_schema": {1, 2}}, TypeError, "cannot convert input_schema to JSON: unsupported type set"),
    (("t", print), {"description": 3}, TypeError, "argument 'description': expected str or None, got int"),
])
def test_add_tool_argument_errors(args, kwargs, exception, message):
    core = dn.Core()
    with pytest.raises(exception) as info:
        core.add_tool(*args, **kwargs)
    assert str(info.value) == message
    assert core.tools_json() == "[]"


# ---- tools and the core's lock ---------------------------------------------------

def test_a_tool_may_run_commands_on_its_own_core():
    core = dn.Core()
    core.add_tool("switch", lambda v: json.loads(core.handle_json(json.dumps(
        {"type": "switch_model", "model": {"provider": {"id": v}, "id": "m"}}))))
    assert result(core, "switch", "p")["type"] == "model_switched"
    assert json.loads(core.model_json()) == {"provider": {"id": "p"}, "id": "m"}


def test_a_slow_tool_does_not_hold_up_other_commands():
    """The tool waits until another thread has finished chat turns on the same
    core: if the tool held the core, that would never happen."""
    core = dn.Core()
    turns_done = threading.Event()
    core.add_tool("wait", lambda v: turns_done.wait(60))

    def take_turns():
        for i in range(20):
            core.handle_json(json.dumps({"type": "chat_turn", "session_id": "s", "message": str(i),
                                         "assigned_skills": []}))
        turns_done.set()
    started = []
    caller = threading.Thread(target=lambda: started.append(result(core, "wait", None)))
    caller.start()
    take_turns()
    caller.join(60)
    assert started == [True]
    assert len(json.loads(core.read_json("session", "s"))["messages"]) == 40


def test_a_core_and_its_tools_are_collected_together():
    core = dn.Core()
    core.add_tool("me", lambda v: core.model_json())  # the closure refers to the core
    assert result(core, "me", None) == '{"provider":{"id":"openai"},"id":"gpt-5.5"}'
    ref = weakref.ref(core)
    del core
    gc.collect()
    assert ref() is None


FORK_DURING_TOOL = """
import json, os, sys, threading
import dovek_native as d
core = d.Core()
entered, release = threading.Event(), threading.Event()
core.add_tool("block", lambda v: entered.set() or release.wait(60))
core.add_tool("echo", lambda v: v)
call = lambda name: json.loads(core.handle_json(json.dumps(
    {"type": "call_tool", "call": {"id": "c", "name": name, "input": 5}})))["events"][1]
t = threading.Thread(target=call, args=("block",))
t.start()
entered.wait(60)
pid = os.fork()
if pid == 0:
    ok = call("echo") == {"type": "tool_result", "id": "c", "value": 5}
    os._exit(0 if ok else 3)
_, status = os.waitpid(pid, 0)
release.set()
t.join()
print(os.waitstatus_to_exitcode(status))
"""


def test_fork_while_a_tool_runs_gives_the_child_a_working_core():
    out = subprocess.run([sys.executable, "-c", FORK_DURING_TOOL], capture_output=True, text=True,
                         timeout=120)
    assert out.stdout.strip() == "0", out.stdout + out.stderr


# ---- skills as tools --------------------------------------------------------------

def test_skill_tool_from_a_manifest_with_an_input_schema(tmp_path):
    # The skill fails once the file `fail` exists (the program itself is never
    # rewritten: a program rewritten in place can fail to start).
    root = script_skill(tmp_path / "s", 'if [ -e fail ]; then echo nope >&2; exit 3; fi\n'
                                        'echo \'{"ok": true}\'', id="ok")
    manifest = json.loads((root / "artifact.json").read_text())
    manifest["schema"] = {"input": "in.json"}
    (root / "artifact.json").write_text(json.dumps(manifest))
    (root / "in.json").write_text('{"type": "object", "properties": {}}')
    core = dn.Core()
    core.add_skill_tool("ok", str(root), 10)
    assert json.loads(core.tools_json()) == [
        {"name": "ok", "description": "Test", "input_schema": {"properties": {}, "type": "object"}}]
    assert result(core, "ok", {"x": 1}) == {"ok": True}
    (root / "fail").touch()
    assert error(core, "ok", 1) == "skill process exited with status Some(3): nope"
    (root / "in.json").write_text("{")
    with pytest.raises(RuntimeError, match=f"^decode {root}/in.json$"):
        core.add_skill_tool("again", str(root), 10)
    with pytest.raises(RuntimeError, match=f"^read {tmp_path}/missing/artifact.json$"):
        core.add_skill_tool("missing", str(tmp_path / "missing"), 10)


@pytest.mark.skipif(shutil.which("uv", path=str(VENV_BIN)) is None, reason="uv not installed")
def test_real_python_skill_as_a_tool(tmp_path, real_tools):  # noqa: F811
    root = tmp_path / "python-echo"
    shutil.copytree(EXAMPLES / "python-echo", root)
    dn.runtime_build_skill_json(str(root), None)
    core = dn.Core()
    core.add_skill_tool("echo", str(root), 60)
    assert json.loads(core.tools_json())[0]["description"] == "Python echo"
    direct = json.loads(dn.runtime_run_skill_json(str(root), '[1,"a"]', 60))
    assert result(core, "echo", [1, "a"]) == direct == {"input": [1, "a"], "skill": "python-echo",
                                                        "type": "list"}


def test_ctrl_c_during_a_skill_tool_interrupts_and_kills_the_skill(tmp_path):
    root = script_skill(tmp_path / "s", f"echo $$ > '{tmp_path}/pid.tmp'; mv '{tmp_path}/pid.tmp' "
                                        f"'{tmp_path}/pid'; sleep 60", id="long")
    code = f"""
import dovek_native
core = dovek_native.Core()
core.add_skill_tool("long", {str(root)!r}, 120)
try:
    core.handle_json('{{"type":"call_tool","call":{{"id":"c","name":"long","input":null}}}}')
except KeyboardInterrupt:
    print(core.handle_json('{{"type":"switch_model","model":{{"provider":{{"id":"p"}},"id":"m"}}}}')[:24])
"""
    proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True)
    pid_file = tmp_path / "pid"
    while not pid_file.exists():
        assert proc.poll() is None, "the host ended before the skill started"
        time.sleep(0.01)
    proc.send_signal(signal.SIGINT)
    out, _ = proc.communicate(timeout=60)
    assert out == '{"type":"model_switched"\n'
    assert wait_gone(int(pid_file.read_text()), 30)


# ---- reading back -------------------------------------------------------------------

def test_records_read_back_in_their_forms():
    core = dn.Core()
    skill = {"id": "w", "name": "W", "source": "user", "read_only": False, "content": "c",
             "suggested_tools": ["t"]}
    core.handle_json(json.dumps({"type": "save_skill", "skill": skill}))
    core.handle_json('{"type":"save_profile","profile":{"provider":{"id":"p"},"secret":{"key":"k"}}}')
    core.handle_json('{"type":"chat_turn","session_id":"s","message":"hi","assigned_skills":[]}')
    started = core.handle_json('{"type":"start_run","task":{"id":"t","title":"T"},"run_id":"r","session_id":"s"}')
    assert core.read_json("skill", "w") == (
        '{"id":"w","name":"W","source":"user","source_ref":null,"read_only":false,'
        '"description":null,"content":"c","suggested_tools":["t"]}')
    assert json.loads(core.read_json("run", "r")) == json.loads(started)["run"]
    assert core.read_json("profile") == '[{"provider":{"id":"p"},"secret":{"key":"k"}}]'
    session = json.loads(core.read_json("session", "s"))
    assert list(session)[0] == "id" and list(session)[-1] == "messages"
    assert [m["role"] for m in session["messages"]] == ["user", "assistant"]
    assert session["messages"][0]["content"] == "hi"
    assert core.read_json("task", "t") == (
        '{"id":"t","title":"T","input":null,"agent_id":null,"session_id":null,"status":null,'
        '"schedule":null,"created_at":null,"updated_at":null,"error":null}')
    assert core.read_json("session", "missing") == "null" and core.read_json("run") != "[]"
    with pytest.raises(ValueError, match="^unknown record kind `Skill`"):
        core.read_json("Skill")


@pytest.mark.skipif(shutil.which("uv", path=str(VENV_BIN)) is None, reason="uv not installed")
@pytest.mark.skipif(UNDER_ASAN, reason="the example's own interpreter would need the sanitizer runtime, "
                    "which its uv must not get")
def test_the_agent_loop_example_runs(real_tools):  # noqa: F811
    example = EXAMPLES.parent / "agent_loop.py"
    out = subprocess.run([sys.executable, str(example)], capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stdout + out.stderr
    assert "tool word_count: {'words': 4}" in out.stdout
    assert "'skill': 'python-echo'" in out.stdout
    assert "session demo: 4 messages" in out.stdout
