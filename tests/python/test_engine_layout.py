"""The engine's source, read as text: each folder of src/ includes only its own headers and the
public ones of include/shredder, kinds are named rather than numbered, and no file of the
engine or the package grows past the size one reader can hold."""

import re
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
LARGEST = 450
# A value's or atom's kind by its alternative's number: `case 4:`, `in_place_index<3>`,
# `index() == 2`, `std::get<1>(...)`; and any type test at run time.
KIND_NUMBER = re.compile(r"case \d+:|in_place_index<\d+>|index\(\) *[=!]= *\d|kind\(\) *[=!]= *\d"
                         r"|get<\d+>|holds_alternative<\d+>|\btypeid\b")
INCLUDE = re.compile(r'^#include "([a-z_]+)/', re.M)


def engine_sources():
    for folder in ("src", "include"):
        yield from (p for p in (ROOT / folder).rglob("*") if p.suffix in (".cc", ".h"))


def test_each_folder_includes_its_own_headers_and_the_public_ones():
    wrong = [f"{p.relative_to(ROOT)} includes {folder}/"
             for p in engine_sources() if p.parts[-3] == "src" or p.parent.name == "shredder"
             for folder in INCLUDE.findall(p.read_text(encoding="utf-8"))
             if folder not in ("shredder", "arrow", p.parent.name)]
    assert wrong == []


def test_kinds_are_named_not_numbered():
    found = [f"{p.relative_to(ROOT)}:{n}: {line.strip()}" for p in engine_sources()
             for n, line in enumerate(p.read_text(encoding="utf-8").splitlines(), 1)
             if KIND_NUMBER.search(line)]
    assert found == []


def test_no_source_file_is_longer_than_one_reader_holds():
    sources = [*engine_sources(), *(ROOT / "python" / "shredder").rglob("*.py")]
    long = {str(p.relative_to(ROOT)): n for p in sources
            if (n := len(p.read_text(encoding="utf-8").splitlines())) > LARGEST}
    assert long == {}
