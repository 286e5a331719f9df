"""Every file of JSONTestSuite through shred_arrow (and, when it is accepted, unshred_arrow):
each n_ file is refused with ValueError, each y_ file whose root is an object is accepted,
and no file crashes the process.

All files run in one child interpreter, which reports every outcome; a crash of the child
names the file it was working on."""

from __future__ import annotations

import json

import pytest

from conftest import SHARED_DATA, run_python

SUITE = SHARED_DATA / "jsontestsuite" if SHARED_DATA is not None else None
FILES = sorted(p.name for p in SUITE.glob("*.json")) if SUITE is not None and SUITE.is_dir() else []

CHILD = """
import json, os, sys
import pyarrow as pa
import shredder_ext

suite = sys.argv[1]
outcomes = {}
for name in sorted(os.listdir(suite)):
    if not name.endswith(".json"):
        continue
    print(name, file=sys.stderr, flush=True)  # the last name printed is the one that crashed
    with open(os.path.join(suite, name), "rb") as f:
        data = f.read()
    outcome = {}
    handle = shredder_ext.create_controller("json")
    # Binary, so that files that are not UTF-8 reach the parser as they are.
    rb = pa.RecordBatch.from_arrays([pa.array([data], pa.binary())], names=["doc"])
    try:
        atoms = shredder_ext.shred_arrow(handle, rb)
        outcome["shred"] = ["ok", atoms.num_rows]
        try:
            back = shredder_ext.unshred_arrow(handle, atoms)
            outcome["unshred"] = ["ok", back.num_rows]
        except ValueError as e:
            outcome["unshred"] = ["ValueError", str(e)]
    except ValueError as e:
        outcome["shred"] = ["ValueError", str(e)]
    except BaseException as e:
        outcome["shred"] = [type(e).__name__, str(e)]
    try:
        root = type(json.loads(data)).__name__
    except Exception:
        root = None
    outcome["python_root"] = root
    outcomes[name] = outcome
print(json.dumps(outcomes))
"""


@pytest.fixture(scope="module")
def outcomes() -> dict:
    if not FILES:
        pytest.fail("the JSONTestSuite files ../shared/data/jsontestsuite are missing")
    child = run_python(CHILD.replace("sys.argv[1]", repr(str(SUITE))), timeout=600)
    if child.returncode != 0:
        last = child.stderr.decode(errors="replace").strip().splitlines()[-5:]
        pytest.fail(f"the child process died with {child.returncode}; last lines: {last}")
    return json.loads(child.stdout)


def test_the_suite_is_there():
    assert len(FILES) >= 300, f"only {len(FILES)} JSONTestSuite files found"


@pytest.mark.parametrize("name", [n for n in FILES if n.startswith("n_")])
def test_invalid_json_is_refused_with_value_error(outcomes, name):
    kind, message = outcomes[name]["shred"]
    assert kind == "ValueError", (kind, message)
    assert message.startswith("shred failed: "), message


# Valid JSON that the shredder refuses on purpose: a member with the empty key would be written
# under its parent's name and lost on the way back.
REFUSED = {
    "y_object_empty_key.json": "shred failed: Shredder::Shred: member / has the empty key, so its "
                               "value would be written under its parent's name root",
}


@pytest.mark.parametrize("name", [n for n in FILES if n.startswith("y_")])
def test_valid_json_with_an_object_root_is_accepted(outcomes, name):
    outcome = outcomes[name]
    if name in REFUSED:
        assert outcome["shred"] == ["ValueError", REFUSED[name]], outcome
    elif outcome["python_root"] == "dict":
        assert outcome["shred"][0] == "ok", outcome
        assert outcome["unshred"] == ["ok", 1], outcome
    else:
        # A root that is not an object is refused: every document is an object.
        kind, message = outcome["shred"]
        assert kind == "ValueError" and message.startswith("shred failed: "), outcome


@pytest.mark.parametrize("name", [n for n in FILES if n.startswith("i_")])
def test_implementation_defined_json_is_accepted_or_refused_with_value_error(outcomes, name):
    outcome = outcomes[name]
    kind, detail = outcome["shred"]
    assert kind in ("ok", "ValueError"), outcome
    if kind == "ok":
        assert outcome["unshred"][0] in ("ok", "ValueError"), outcome
