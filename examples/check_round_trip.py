"""Compares original JSON Lines documents with rebuilt ones, ids aside, and prints a verdict.

Rebuilt documents carry "__txn_id" and "__obj_id" members and come back ordered by id, so both
sides are compared as multisets of documents with those members removed.

    python examples/check_round_trip.py ORIGINAL.jsonl REBUILT.jsonl
"""

from __future__ import annotations

import json
import sys
from collections import Counter

ID_KEYS = ("__txn_id", "__obj_id")


def strip_ids(value: object) -> object:
    if isinstance(value, dict):
        return {k: strip_ids(v) for k, v in value.items() if k not in ID_KEYS}
    if isinstance(value, list):
        return [strip_ids(v) for v in value]
    return value


def canonical(line: str, rebuilt: bool) -> str:
    document = json.loads(line)
    if rebuilt:
        document = strip_ids(document)
    return json.dumps(document, sort_keys=True, ensure_ascii=False)


def load(path: str, rebuilt: bool) -> Counter[str]:
    with open(path, encoding="utf-8") as stream:
        return Counter(canonical(line, rebuilt) for line in stream if line.strip())


def main() -> int:
    original, rebuilt = load(sys.argv[1], False), load(sys.argv[2], True)
    same = sum((original & rebuilt).values())
    total = sum(original.values())
    if original == rebuilt:
        print(f"round trip OK: {same} of {total} documents came back exactly (ids aside)")
        return 0
    print(f"round trip MISMATCH: {same} of {total} documents came back exactly; "
          f"{sum((original - rebuilt).values())} missing, {sum((rebuilt - original).values())} "
          "unexpected")
    return 1


if __name__ == "__main__":
    sys.exit(main())
