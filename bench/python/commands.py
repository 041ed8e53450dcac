"""The commands the Python-level benchmarks time, shared by bench_python.py
and count_instructions.py so both measure the same texts.

Each command is JSON text as a caller would send it; `prepare_core` stores
the skills the chat turn resolves (two assigned, one @mentioned).
"""

import json
import random

SKILL_CONTENT = "Step one: read the request. Step two: do the work. " * 4  # ~200 B
SKILL_DESCRIPTION = ("Reviews a change for correctness, naming and tests, and says what to fix first. "
                     "Use it for pull requests, patches and diffs of any size. ") * 2  # ~300 B
# A pasted paragraph: with the three skills it makes a prompt of ~2.3 KB.
TURN_MESSAGE = ("Please review this change with @skill-3 and keep the answer short. "
                + "The build fails on the second step when the cache is cold, and the log says little. " * 11)


def skill(i: int) -> dict:
    return {
        "id": f"skill-{i}",
        "name": f"Skill {i}",
        "source": "user",
        "read_only": False,
        "description": SKILL_DESCRIPTION,
        "content": SKILL_CONTENT,
        "suggested_tools": ["edit", "search"],
    }


def save_skill_text(i: int) -> str:
    return json.dumps({"type": "save_skill", "skill": skill(i)})


def chat_turn_text(session_id: str = "s1", message: str | None = None) -> str:
    return json.dumps({
        "type": "chat_turn",
        "session_id": session_id,
        "message": TURN_MESSAGE if message is None else message,
        "assigned_skills": ["skill-1", "skill-2"],
    })


def tool_input() -> dict:
    """About 1 KB of mixed values: 30 keys, each a list of five kinds."""
    return {f"key{i:03d}": [i, i * 0.5, f"value {i}", None, True] for i in range(30)}


def float_input() -> list:
    """100 doubles as coordinates and measurements come: 6 to 17 significant
    digits, magnitudes from 1e-3 to 1e5, both signs."""
    rng = random.Random(100)
    return [rng.choice([-1, 1]) * round(rng.uniform(1e-3, 1e5), rng.choice([3, 6, 9, 15]))
            for _ in range(100)]


def commands() -> dict[str, str]:
    """Name -> command text, in the order the tables print them."""
    model = {"provider": {"id": "openai"}, "id": "gpt-5.5"}
    task = {"id": "t1", "title": "Fix the failing build"}
    return {
        "save_skill": save_skill_text(0),
        "switch_model": json.dumps({"type": "switch_model", "model": model}),
        "chat_turn": chat_turn_text(),
        "start_run": json.dumps({"type": "start_run", "task": task, "run_id": "r1", "session_id": "s1"}),
        "call_tool": json.dumps({"type": "call_tool", "call": {"id": "c1", "name": "echo", "input": tool_input()}}),
        "call_tool_doubles": json.dumps(
            {"type": "call_tool", "call": {"id": "c1", "name": "echo", "input": float_input()}}),
    }


def prepare_core(core, skills: int = 10) -> None:
    """Stores skill-0 .. skill-{skills-1} in `core`."""
    for i in range(skills):
        core.handle_json(save_skill_text(i))
