"""Diagnostic output of shred_arrow on the process's native standard error.

Each case runs in a child process whose Python-level sys.stderr is replaced, so that what
arrives on file descriptor 2 can only come from native code.
"""

from __future__ import annotations

import json

import pytest

from conftest import run_python

CHILD = """
import io, json, sys
import pyarrow as pa
import shredder_ext
sys.stderr = io.StringIO()
def batch(*docs):
    texts = pa.array([json.dumps(d) for d in docs], pa.string())
    return pa.RecordBatch.from_arrays([texts], names=["doc"])
def mark(text):
    # Separates the output of successive calls on the native stream.
    import os
    os.write(2, ("--" + text + "--\\n").encode())
results = []
{body}
assert sys.stderr.getvalue() == "", sys.stderr.getvalue()
sys.stdout.write(json.dumps(results))
"""


def run_child(body: str) -> tuple[list, str]:
    child = run_python(CHILD.format(body=body))
    assert child.returncode == 0, child.stderr.decode()
    return json.loads(child.stdout), child.stderr.decode()


def schema_text(fields) -> str:
    lines = "\n".join(f"{name}: {type_}" for name, type_ in fields)
    return "[shredder_ext] shred output schema:\n" + lines + "\n"


def test_debug_writes_tagger_lines_then_the_atoms_schema():
    results, stderr = run_child(
        "h = shredder_ext.create_controller('json')\n"
        "atoms = shredder_ext.shred_arrow(h, batch({'a': 1}), debug=True)\n"
        "results.append([[f.name, str(f.type)] for f in atoms.schema])\n")
    fields = results[0]
    assert fields == [["root___obj_id", "string"], ["root___txn_id", "string"],
                      ["root_a", "int64"]]
    digest = "88a5996139fb335d6540ecafadd5a92c60b9c77a964821820edb9bab972953cd"
    assert stderr == (
        "[Tagger] begin modify: hash_bytes=32 ignore_paths=0\n"
        f"[Tagger] computed root txn_id={digest} objects_seen=1 obj_digests=1\n"
        f"[Tagger] stamped object #1 __obj_id={digest}\n"
        "[Tagger] end modify: stamped=1 txn_id_key=__txn_id obj_id_key=__obj_id\n"
        + schema_text(fields))


def test_schema_is_written_once_after_all_documents():
    results, stderr = run_child(
        "h = shredder_ext.create_controller('json')\n"
        "atoms = shredder_ext.shred_arrow(h, batch({'a': 1}, {'b': [True, False]}), debug=True)\n"
        "results.append([[f.name, str(f.type)] for f in atoms.schema])\n")
    expected = schema_text(results[0])
    assert stderr.endswith(expected)
    assert stderr.count("[shredder_ext]") == 1
    assert stderr.count("[Tagger] begin modify") == 2
    assert "[Tagger]" not in stderr[stderr.index("[shredder_ext]"):]


@pytest.mark.parametrize(
    "body",
    [
        "h = shredder_ext.create_controller('json')\n"
        "shredder_ext.shred_arrow(h, batch({'a': 1}))\n",
        "h = shredder_ext.create_controller('json')\n"
        "shredder_ext.shred_arrow(h, batch({'a': 1}), debug=False)\n"
        "shredder_ext.unshred_arrow(h, shredder_ext.shred_arrow(h, batch({'a': [1, 2]})))\n",
        "h = shredder_ext.create_controller('arrow')\n"
        "rb = pa.RecordBatch.from_arrays([pa.array([{'a': 1}])], names=['doc'])\n"
        "shredder_ext.unshred_arrow(h, shredder_ext.shred_arrow(h, rb, None, False))\n",
    ],
    ids=["default", "debug-false-and-unshred", "arrow-codec"],
)
def test_nothing_is_written_without_debug(body):
    _, stderr = run_child(body)
    assert stderr == ""


def test_debug_setting_is_rewritten_by_every_call():
    _, stderr = run_child(
        "h = shredder_ext.create_controller('json')\n"
        "shredder_ext.shred_arrow(h, batch({'a': 1}), debug=True)\n"
        "mark('second')\n"
        "shredder_ext.shred_arrow(h, batch({'a': 2}))\n"
        "mark('third')\n"
        "shredder_ext.shred_arrow(h, batch({'a': 3}), debug=1)\n")
    first, rest = stderr.split("--second--\n")
    second, third = rest.split("--third--\n")
    assert "[shredder_ext] shred output schema:" in first
    assert second == ""
    assert third.startswith("[Tagger] begin modify") and "[shredder_ext]" in third


def test_debug_setting_belongs_to_one_handle():
    _, stderr = run_child(
        "one = shredder_ext.create_controller('json')\n"
        "two = shredder_ext.create_controller('json')\n"
        "shredder_ext.shred_arrow(one, batch({'a': 1}), debug=True)\n"
        "mark('other handle')\n"
        "shredder_ext.shred_arrow(two, batch({'a': 1}))\n")
    before, after = stderr.split("--other handle--\n")
    assert "[shredder_ext]" in before
    assert after == ""


def test_failed_shred_writes_no_schema():
    results, stderr = run_child(
        "h = shredder_ext.create_controller('json')\n"
        "try:\n"
        "    shredder_ext.shred_arrow(h, batch({'a': [[1]]}), debug=True)\n"
        "except ValueError as error:\n"
        "    results.append(str(error))\n")
    assert results == ["shred failed: Shredder::Shred: nested arrays are not supported at /a"]
    assert "[Tagger] begin modify" in stderr
    assert "[shredder_ext]" not in stderr


def test_argument_failure_writes_nothing():
    results, stderr = run_child(
        "h = shredder_ext.create_controller('json')\n"
        "try:\n"
        "    shredder_ext.shred_arrow(h, batch({'a': 1}), 5, debug=True)\n"
        "except ValueError as error:\n"
        "    results.append(str(error))\n")
    assert results == ["Index error: column index out of range: 5"]
    assert stderr == ""


def test_empty_input_writes_an_empty_schema():
    results, stderr = run_child(
        "h = shredder_ext.create_controller('json')\n"
        "atoms = shredder_ext.shred_arrow(h, batch(), debug=True)\n"
        "results.append([atoms.num_columns, atoms.num_rows])\n")
    assert results == [[0, 0]]
    assert stderr == "[shredder_ext] shred output schema:\n\n"
