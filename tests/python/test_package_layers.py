"""The package's imports, read from its source: they point one way down the layers
(cli → jobs → dataset → io → core) and never close a circle, function-level imports included."""

import ast
import json
import subprocess
import sys
from pathlib import Path

PACKAGE = Path(__file__).resolve().parents[2] / "python" / "shredder"
LAYERS = ["core", "io", "dataset", "jobs", "cli"]


def module_name(path: Path) -> str:
    parts = path.relative_to(PACKAGE.parent).with_suffix("").parts
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def imports_of(path: Path, modules: set[str]) -> set[str]:
    """The package's modules that ``path`` imports, anywhere in it."""
    found = set()
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.Import):
            names = [alias.name for alias in node.names]
        elif isinstance(node, ast.ImportFrom) and node.module:
            # "from shredder.io import storage" imports the module storage, "from
            # shredder.io.storage import resolve" the module that holds the name
            names = [f"{node.module}.{alias.name}" if f"{node.module}.{alias.name}" in modules
                     else node.module for alias in node.names]
        else:
            continue
        found |= {name for name in names if name in modules}
    return found


def rank(module: str) -> int:
    """The module's layer; the package's own ``__init__`` and ``__main__`` sit above all."""
    parts = module.split(".")
    return LAYERS.index(parts[1]) if len(parts) > 1 and parts[1] in LAYERS else len(LAYERS)


def test_imports_point_down_the_layers_and_close_no_circle():
    files = {module_name(path): path for path in PACKAGE.rglob("*.py")}
    graph = {module: imports_of(path, set(files)) - {module} for module, path in files.items()}
    assert {m.split(".")[1] for m in files if m.count(".") == 1} >= set(LAYERS)
    upward = sorted(f"{m} -> {t}" for m, targets in graph.items() for t in targets
                    if rank(t) > rank(m))
    assert upward == []

    state: dict[str, str] = {}
    circles = []

    def visit(module: str, trail: list[str]) -> None:
        state[module] = "open"
        for target in sorted(graph[module]):
            if state.get(target) == "open":
                circles.append(" -> ".join(trail[trail.index(target):] + [target]))
            elif target not in state:
                visit(target, trail + [target])
        state[module] = "done"

    for module in sorted(graph):
        if module not in state:
            visit(module, [module])
    assert circles == []


def test_the_command_reads_its_arguments_before_it_loads_pyarrow():
    # Local workers' server loads pyarrow and the engine meanwhile (a third of a second).
    # The package's own names load where they are first used, each from its home, and
    # "dataset" stays the function once the subpackage of that name is imported.
    code = ("import json, sys, shredder, shredder.cli.program\n"
            "loaded = 'pyarrow' in sys.modules\n"
            "import shredder.dataset.files\n"
            "print(json.dumps([loaded, shredder.dataset.__module__,"
            " {name: getattr(shredder, name).__module__ for name in shredder.__all__}]))")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            check=True, timeout=60)
    loaded, dataset_home, homes = json.loads(result.stdout)
    assert not loaded
    assert dataset_home == "shredder.dataset.unified"
    assert len(homes) == 15 and all(home.startswith("shredder.") for home in homes.values())


def test_shredding_a_file_loads_neither_pandas_nor_pyarrow_compute(tmp_path):
    # Each costs every process (driver, fork server, workers) a twentieth to a fifth of a second.
    source = tmp_path / "in.jsonl"
    source.write_text('{"a": 1, "b": [1, 2], "c": {"d": "x", "e": null}}\n' * 3)
    code = ("import json, sys\nfrom shredder.cli import main\n"
            f"status = main(['shred', {str(source)!r}, '-o', {str(tmp_path / 'out')!r},"
            " '--jobs', '1', '-q'])\n"
            "print(json.dumps([status, 'pandas' in sys.modules,"
            " 'pyarrow.compute' in sys.modules]))")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            check=True, timeout=60)
    assert json.loads(result.stdout) == [0, False, False]
