"""The folders of src/ include one another only downward (scripts/check_layers.py)."""

import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "scripts"))
import check_layers  # noqa: E402


def test_src_includes_only_downward():
    assert check_layers.violations(REPO / "src") == []


@pytest.mark.parametrize("folder, line, reported", [
    ("json", '#include "domain/skill.h"', "json includes domain/skill.h, which is not below it"),
    ("runtime", '#include "store/memory_store.h"', "runtime includes store/memory_store.h"),
    ("engine", '#include "binding/py.h"', "engine includes binding/py.h"),
    ("domain", "#include <Python.h>", "domain includes <Python.h>"),
    ("mysql", '#include "base/error.h"', "folder mysql is not in the layer table"),
    ("store", '#include "base/error.h"', None),
    ("binding", "#include <Python.h>", None),
    ("protocol", '#  include "base/bytes.h"  // spaced', None),
])
def test_the_check_reports_wrong_way_includes(tmp_path, folder, line, reported):
    for name in check_layers.LAYERS:
        (tmp_path / name).mkdir()
    (tmp_path / folder).mkdir(exist_ok=True)
    (tmp_path / folder / "x.cc").write_text(f'#include "{folder}/x.h"\n#include <vector>\n{line}\n')
    found = check_layers.violations(tmp_path)
    if reported is None:
        assert found == []
    else:
        assert len(found) == 1 and found[0].startswith(f"{tmp_path.name}/{folder}/x.cc:")
        assert reported in found[0]


def test_the_layer_table_has_no_cycle():
    with pytest.raises(ValueError, match="cycle"):
        check_layers.allowed({"a": ["b"], "b": ["a"]})
