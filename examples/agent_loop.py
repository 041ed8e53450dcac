"""A short agent loop on a Core: a Python tool and a skill tool registered,
their list as a model would get it, a turn that calls both, and the session's
history read back.

    python examples/agent_loop.py

The skill tool is the example Python skill (examples/skills/python-echo),
built with `uv` in a temporary copy; without `uv` on PATH the loop runs with
the Python tool alone and says so.
"""

import json
import shutil
import sys
import tempfile
from pathlib import Path

import dovek_native

SKILLS = Path(__file__).resolve().parent / "skills"


def command(core: dovek_native.Core, **fields) -> dict:
    return json.loads(core.handle_json(json.dumps(fields)))


def add_echo_skill(core: dovek_native.Core, workdir: Path) -> bool:
    if shutil.which("uv") is None:
        print("(skipped the skill tool: `uv` is not on PATH; `pip install uv` to add it)")
        return False
    root = workdir / "python-echo"
    shutil.copytree(SKILLS / "python-echo", root)
    dovek_native.runtime_build_skill_json(str(root), None)
    core.add_skill_tool("echo", str(root), 60)
    return True


def main() -> int:
    core = dovek_native.Core()

    def word_count(args):
        """Counts the words of a text."""
        return {"words": len(args["text"].split())}

    core.add_tool("word_count", word_count,
                  input_schema={"type": "object", "properties": {"text": {"type": "string"}}})
    with tempfile.TemporaryDirectory() as tmp:
        have_echo = add_echo_skill(core, Path(tmp))

        print("tools for the model:")
        for t in json.loads(core.tools_json()):
            print(f"  {t['name']}: {t['description']}")

        # The user's turn; the prompt it answers with is what a model would get.
        message = "How many words are in 'the quick brown fox'? Echo it back too."
        turn = command(core, type="chat_turn", session_id="demo", message=message,
                       assigned_skills=[])
        print(f"\nprompt ({len(turn['events'][0]['value'])} bytes) sent to the model")

        # The model asks for tools; each call is one command.
        calls = [("c1", "word_count", {"text": "the quick brown fox"})]
        if have_echo:
            calls.append(("c2", "echo", {"text": "the quick brown fox"}))
        results = []
        for call_id, name, value in calls:
            events = command(core, type="call_tool",
                             call={"id": call_id, "name": name, "input": value})["events"]
            outcome = events[1]
            print(f"tool {name}: {outcome.get('value', outcome.get('message'))}")
            results.append({"tool": name, "result": outcome.get("value")})

        # The tool results go back in as the next turn.
        command(core, type="chat_turn", session_id="demo",
                message="Tool results: " + json.dumps(results), assigned_skills=[])

    session = json.loads(core.read_json("session", "demo"))
    print(f"\nsession {session['id']}: {len(session['messages'])} messages")
    for m in session["messages"]:
        first_line = m["content"].splitlines()[0] if m["content"] else ""
        print(f"  {m['role']:>9}: {first_line[:72]}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
