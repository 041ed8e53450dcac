"""The benchmark's chat turn done in plain Python on orjson: a reference for
what the turn's work costs there, next to the bare orjson round trip, which
parses and dumps but neither resolves skills, renders the prompt nor keeps
the history.

It does what the module does for `commands.chat_turn_text()` on a core
prepared by `commands.prepare_core`, and no more: assigned skills and
`@mentions` that are all stored, no issues to report. The fragments of each
skill are rendered once, up front, as a Python program would cache them.
bench_python.py checks that its response is byte for byte the module's
before it times it.
"""

import orjson

import commands as cmds


class PythonTurn:
    def __init__(self, skills: int = 10) -> None:
        self.summaries = {}
        self.mentioned = {}
        for i in range(skills):
            s = cmds.skill(i)
            head = f"@{s['id']}: {s['name']} [{s['source']}]"
            tools = ", ".join(s["suggested_tools"])
            self.summaries[s["id"]] = (f"- {head}\n  Description: {s['description']}"
                                       f"\n  Suggested tools: {tools}")
            self.mentioned[s["id"]] = (f"{head}\nDescription: {s['description']}"
                                       f"\nSuggested tools: {tools}\nInstructions:\n{s['content']}")
        self.sessions: dict = {}

    def turn(self, text: str) -> bytes:
        command = orjson.loads(text)
        message = command["message"]
        assigned = [self.summaries[i] for i in dict.fromkeys(command["assigned_skills"])]
        blocks = ["## Assigned skills\n" + "\n\n".join(assigned)] if assigned else []
        for name in dict.fromkeys(self._mentions(message)):
            blocks.append(f"## Mentioned skill: @{name}\n{self.mentioned[name]}")
        blocks.append("## User message\n" + message)
        prompt = "\n\n".join(blocks)
        history = self.sessions.setdefault(command["session_id"], [])
        history.append(("user", message))
        history.append(("assistant", prompt))
        return orjson.dumps({"type": "chat_turn", "events": [{"type": "text", "value": prompt}]})

    @staticmethod
    def _mentions(message: str):
        """Words that start with '@' after white space, stripped of the
        punctuation the benchmark's message has."""
        at = message.find("@")
        while at >= 0:
            if at == 0 or message[at - 1].isspace():
                end = at + 1
                while end < len(message) and not message[end].isspace():
                    end += 1
                yield message[at + 1:end].strip("!?.,")
            at = message.find("@", at + 1)
