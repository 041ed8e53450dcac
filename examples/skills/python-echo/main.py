"""A skill speaking the "stdio-json" protocol.

Reads one JSON value from standard input and writes one JSON object to
standard output. Logging goes to standard error: standard output must hold
the answer and nothing else. An object input with a number under "sleep"
makes the skill wait that many seconds first (to show the time limit).
"""

import json
import sys
import time


def main() -> int:
    value = json.loads(sys.stdin.read())
    if isinstance(value, dict) and isinstance(value.get("sleep"), (int, float)):
        print(f"sleeping {value['sleep']}s", file=sys.stderr)
        time.sleep(value["sleep"])
    json.dump({"skill": "python-echo", "input": value, "type": type(value).__name__}, sys.stdout)
    sys.stdout.write("\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
