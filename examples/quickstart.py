"""A tour of dovek_native: the agent core, then the skill runtime.

Run with `make demo` (which builds the module into .venv-demo first), or
`python examples/quickstart.py` wherever the module is installed. The agent
core needs nothing else; the skill runtime part runs the Rust example skill
when `cargo` is on PATH and the Python one when `uv` is, and says how to get
whichever is missing.
"""

import json
import os
import sys

import dovek_native

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import runtime_demo  # noqa: E402  (beside this file)


def show(title: str, response: str) -> None:
    print(f"--- {title}")
    print(response)


def agent_core() -> None:
    core = dovek_native.Core()  # an independent core; dovek_native.handle_json uses the process-wide one

    writer = {
        "id": "writer",
        "name": "Writer",
        "source": "user",
        "read_only": False,
        "description": "Writes prose",
        "content": "Write well.",
        "suggested_tools": ["edit", "search"],
    }
    reviewer = {"id": "reviewer", "name": "Reviewer", "source": "system", "read_only": False,
                "content": "", "suggested_tools": []}
    show("save_skill", core.handle_json(json.dumps({"type": "save_skill", "skill": writer})))
    core.handle_json(json.dumps({"type": "save_skill", "skill": reviewer}))

    profile = {"provider": {"id": "openai"}, "secret": {"key": "OPENAI_API_KEY"}}
    show("save_profile", core.handle_json(json.dumps({"type": "save_profile", "profile": profile})))

    model = {"provider": {"id": "openai"}, "id": "gpt-5.5"}
    show("switch_model", core.handle_json(json.dumps({"type": "switch_model", "model": model})))

    turn = core.handle_json(json.dumps({
        "type": "chat_turn",
        "session_id": "s1",
        "message": "Please use @writer and @ghost",
        "assigned_skills": ["reviewer"],
    }))
    print("--- chat_turn: the prompt an agent would be given")
    print(json.loads(turn)["events"][0]["value"])

    task = {"id": "t1", "title": "Fix bug"}
    show("start_run", core.handle_json(json.dumps(
        {"type": "start_run", "task": task, "run_id": "r1", "session_id": "s1"})))
    run = core.handle_json(json.dumps(
        {"type": "run_task", "run_id": "r1", "task": task, "message": "see @writer", "assigned_skills": []}))
    print("--- run_task: the end of its prompt")
    print(json.loads(run)["events"][0]["value"].split("## User message\n")[1])

    # Array form; no tool is registered yet, so the call reports an error event.
    show("call_tool", core.handle_json('["call_tool", {"id": "c1", "name": "echo", "input": {"b": 1, "a": 2}}]'))

    # A Python function as a tool, and the tool list a model would be given.
    def add(args):
        """Adds two numbers."""
        return {"sum": args["a"] + args["b"]}
    core.add_tool("add", add, input_schema={"type": "object", "required": ["a", "b"]})
    show("tools_json", core.tools_json())
    show("call_tool with a Python tool", core.handle_json(
        '{"type": "call_tool", "call": {"id": "c2", "name": "add", "input": {"a": 2, "b": 3}}}'))

    history = json.loads(core.read_json("session", "s1"))
    print(f"--- read_json: session s1 holds {len(history['messages'])} messages:",
          [m["role"] for m in history["messages"]])

    try:
        core.handle_json('{"type": "save_skill"}')
    except RuntimeError as e:
        show("a malformed command raises RuntimeError", str(e))


if __name__ == "__main__":
    agent_core()
    print("\n=== the skill runtime")
    kinds = tuple(name for name, tool in (("rust-echo", "cargo"), ("python-echo", "uv"))
                  if runtime_demo.shutil.which(tool))
    for line in runtime_demo.missing_tools():
        print(f"skipped: {line}")
    if kinds:
        runtime_demo.runtime_demo(kinds)
