import json

import pytest

import dovek_native


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


@pytest.fixture
def core() -> dovek_native.Core:
    return dovek_native.Core()
