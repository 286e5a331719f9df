"""inspect --tree and --html: the documents' paths with what they hold, counted in documents;
the page checked in a real headless Chromium."""

from __future__ import annotations

import json
import shutil
from pathlib import Path

import pyarrow as pa
import pytest
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

from shredder.core.names import column_path
from shredder.dataset.path_stats import DatasetStats
from shredder.cli import main

DOCS = [{"id": i, "items": [{"sku": f"s{k}", "tags": ["t"] * (k + i % 3)} for k in range(i % 4)],
         "note": "x" if i % 5 else None} for i in range(40)]


def keyed(name: str, keys: list[str] | None, role: str | None = None,
          type_: pa.DataType = pa.int64()) -> pa.Field:
    metadata = {} if keys is None else {b"shredder.keys": json.dumps(keys).encode()}
    if role:
        metadata[b"shredder.role"] = role.encode()
    return pa.field(name, type_, metadata=metadata or None)


@pytest.mark.parametrize("field, keys, role", [
    (keyed("root_forks_count", ["forks_count"]), ("forks_count",), "value"),
    (keyed("root_forks_count", None), ("forks", "count"), "value"),  # written before: the name
    (keyed("root_a_b__idx", ["a_b"], "index"), ("a_b",), "index"),
    (keyed("root_a__b___c__idx", None), ("a", "_b", "__c"), "index"),
    (keyed("root_o___rest", ["o"], "rest", pa.string()), ("o",), "rest"),
    (keyed("__doc", [], "document"), (), "document"),
])
def test_columns_are_placed_by_the_keys_they_carry_and_by_their_name_without(field, keys,
                                                                            role):
    path = column_path(field)
    assert (path.keys, path.role) == (keys, role)


def test_statistics_count_documents_array_lengths_and_rescued_members():
    # Two documents; the second's object "o" had members the columns could not hold.
    atoms = pa.RecordBatch.from_arrays([
        pa.array(["d1"] * 4 + ["d2"]),
        pa.array([0, 0, 0, 1, 0]), pa.array([0, 1, 2, None, 0], pa.int64()),
        pa.array([None, None, None, None, '{"gone": null, "empty": [], "n": {"m": 1}}']),
        pa.array([7, None, None, None, None]),
    ], schema=pa.schema([
        keyed("root___txn_id", ["__txn_id"], type_=pa.string()),
        keyed("root_items__idx", ["items"], "index"),
        keyed("root_items_tags__idx", ["items", "tags"], "index"),
        keyed("root_o___rest", ["o"], "rest", pa.string()),
        keyed("root_items_n", ["items", "n"]),
    ]))
    stats = DatasetStats()
    stats.add_batch(atoms)
    seen = {keys: (s.documents, s.nulls, s.rescued, dict(s.lengths))
            for keys, s in stats.paths.items()}
    assert stats.documents == 2
    assert seen == {
        (): (2, 0, 0, {}),
        ("items",): (2, 0, 0, {2: 1, 1: 1}),
        ("items", "tags"): (2, 0, 0, {4: 1, 1: 1}),
        ("items", "n"): (1, 0, 0, {}),
        ("o",): (1, 0, 0, {}),
        ("o", "gone"): (1, 1, 1, {}),
        ("o", "empty"): (1, 0, 1, {0: 1}),
        ("o", "n"): (1, 0, 1, {}),
    }


def expected_counts() -> dict[str, tuple[int, dict[int, int]]]:
    """Documents holding each path (a null or an empty array included: exact atoms keep them)
    and its arrays by length bucket, from the documents."""
    def bucket(n: int) -> int:
        return 0 if n == 0 else 1 << (n - 1).bit_length()

    counts: dict[str, tuple[int, dict[int, int]]] = {}

    def note(path: str, present: bool, lengths: list[int] = ()) -> None:
        documents, histogram = counts.get(path, (0, {}))
        for n in lengths:
            histogram[bucket(n)] = histogram.get(bucket(n), 0) + 1
        counts[path] = (documents + present, histogram)

    for doc in DOCS:
        items = doc["items"]
        note("/items", True, [len(items)])
        note("/items/sku", bool(items))
        note("/items/tags", bool(items), [len(item["tags"]) for item in items])
        note("/note", True)
    return counts


@pytest.fixture(scope="module")
def dataset(tmp_path_factory) -> Path:
    folder = tmp_path_factory.mktemp("inspect")
    source = folder / "in.jsonl"
    source.write_text("".join(json.dumps(d) + "\n" for d in DOCS))
    assert main(["shred", str(source), "-o", str(folder / "atoms"), "--batch-size", "7",
                 "-q"]) == 0
    return folder / "atoms"


def test_the_tree_counts_documents_not_atom_rows_also_for_a_dataset_written_before(
        dataset, tmp_path, capsys):
    assert main(["inspect", str(dataset), "--tree"]) == 0
    recorded = capsys.readouterr().out
    lines, stack = {}, []
    for line in recorded.splitlines()[1:]:
        depth = max(line.find("├── "), line.find("└── ")) // 4
        stack[depth:] = [line[depth * 4 + 4:].split("  ")[0]]
        lines["/" + "/".join(stack)] = line
    for path, (documents, histogram) in expected_counts().items():
        assert f"  {documents:,} docs" in lines[path], (path, lines[path])
    assert recorded.startswith("/  document  40 documents  ")
    # A manifest written before the counts were kept: the parts are scanned to the same tree.
    old = tmp_path / "old"
    shutil.copytree(dataset, old)
    manifest = json.loads((old / "_shredder.json").read_text())
    del manifest["paths"]
    (old / "_shredder.json").write_text(json.dumps(manifest))
    assert main(["inspect", str(old), "--tree"]) == 0
    assert capsys.readouterr().out == recorded


@pytest.fixture(scope="module")
def browser():
    options = webdriver.ChromeOptions()
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu",
                     "--window-size=1400,900"):
        options.add_argument(argument)
    driver_path = shutil.which("chromedriver")
    # never left to selenium, which would go and download one
    assert driver_path, "chromedriver is missing: `make test-py` installs Debian's chromium-driver"
    driver = webdriver.Chrome(options=options, service=Service(driver_path))
    driver.set_page_load_timeout(30)
    try:
        yield driver
    finally:
        driver.quit()


def test_the_page_opens_alone_expands_searches_and_shows_the_counts(dataset, tmp_path,
                                                                    browser):
    page = tmp_path / "atoms.html"
    assert main(["inspect", str(dataset), "--html", str(page)]) == 0
    browser.get(page.as_uri())
    wait = WebDriverWait(browser, 10)
    wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, 'li[data-path="/items"]'))
    # self-contained: it loaded nothing besides itself
    assert browser.execute_script(
        "return performance.getEntriesByType('resource').length") == 0

    def row(path: str):
        return browser.find_element(By.CSS_SELECTOR, f'li[data-path="{path}"] > .row')

    def visible_paths() -> list[str]:  # in one call: a search redraws the tree
        return browser.execute_script(
            "return [...document.querySelectorAll('li.node')]"
            ".filter(li => li.offsetParent !== null).map(li => li.dataset.path)")

    assert "/items/sku" not in visible_paths()
    row("/items").find_element(By.CSS_SELECTOR, ".toggle").click()
    wait.until(lambda d: "/items/sku" in visible_paths())
    expected = expected_counts()
    for path in ("/items", "/items/tags", "/note"):
        browser.find_element(By.ID, "search").clear()
        browser.find_element(By.ID, "search").send_keys(path.rsplit("/", 1)[1])
        wait.until(lambda d: d.find_element(By.ID, "tree").get_attribute("data-query") ==
                   path.rsplit("/", 1)[1])
        assert path in visible_paths() and "/id" not in visible_paths()
        row(path).find_element(By.CSS_SELECTOR, ".key").click()
        detail = browser.find_element(By.ID, "detail")
        documents, histogram = expected[path]
        assert detail.find_element(By.CSS_SELECTOR, "h2").text == path
        assert detail.find_element(By.CSS_SELECTOR, ".documents-value").text == \
            f"{documents:,} of 40"
        bars = {int(bar.get_attribute("data-bucket")): int(bar.get_attribute("data-count"))
                for bar in detail.find_elements(By.CSS_SELECTOR, ".histogram .bar")}
        assert bars == histogram
