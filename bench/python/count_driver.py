"""Runs under callgrind for count_instructions.py: sets a core up, warms the
candidate up, then makes CALLS calls of it. Imports as little as it can, so
the fixed cost that the two runs cancel out stays small.

usage: count_driver.py CANDIDATE COMMAND CALLS   (module | orjson | floor)
"""

import gc
import json
import os
import sys

import commands as cmds

WARM_UP = 50


def main(candidate: str, command: str, calls: int) -> None:
    module_dir = os.environ.get("DOVEK_BENCH_MODULE_DIR")
    if module_dir:
        sys.path.insert(0, module_dir)
    import dovek_native

    text = cmds.commands()[command]
    core = dovek_native.Core()
    cmds.prepare_core(core)
    if candidate == "module":
        fn = core.handle_json
    elif candidate == "orjson":
        import orjson

        response_obj = json.loads(core.handle_json(text))

        def fn(t, r=response_obj):
            orjson.loads(t)
            return orjson.dumps(r)
    else:
        sys.path.insert(0, os.environ["DOVEK_BENCH_FLOOR_DIR"])
        import dovek_bench_floor

        fn = dovek_bench_floor.floor
    gc.disable()  # a collection in one run and not the other would skew the difference
    for _ in range(WARM_UP):
        fn(text)
    for _ in range(calls):
        fn(text)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], int(sys.argv[3]))
