"""``shredder inspect``: an atoms dataset as the tree of the documents' paths, each with its
kind, the documents that hold it, its nulls, rescued members and array lengths, the bytes of
its columns, and the parts whose schema differs; as text for the terminal or as data for the
page (see ``tree_page``).

The counts come from the manifest, where shred records them; a dataset written before that is
scanned part by part (with a progress line), and says so.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

import pyarrow as pa

from shredder.core.names import DOCUMENT, INDEX, REST, ColumnPath, Keys, column_path, pointer
from shredder.core.schema import type_name
from shredder.dataset.path_stats import DatasetStats, PathStats
from shredder.dataset.unified import Parts, dataset_parts, schema_differences, unified_schema
from shredder.io.parts import part_columns, read_part
from shredder.jobs.progress import Progress


@dataclass
class Column:
    """An atoms column as the page lists it under its path."""

    name: str
    type: str
    role: str
    bytes: int
    differs: list[tuple[str, str]]  # (part, what it holds instead)


@dataclass
class Node:
    """One path of the documents, the columns behind it, and the paths below it."""

    keys: Keys
    stats: PathStats = field(default_factory=PathStats)
    columns: list[Column] = field(default_factory=list)
    children: dict[str, "Node"] = field(default_factory=dict)
    array: bool = False
    object: bool = False
    value: str | None = None  # the type of its value column

    @property
    def kind(self) -> str:
        members = self.object or bool(self.children)
        if self.array:
            if members:
                return "array of objects"
            return f"array of {self.value}" if self.value and self.value != "null" else "array"
        kinds = ([self.value] if self.value else []) + (["object"] if members else [])
        if not kinds and self.stats.rescued:
            kinds = ["rescued " + "/".join(sorted(self.stats.rescued_kinds))]
        return ", ".join(kinds) or "null"

    @property
    def bytes(self) -> int:
        return sum(c.bytes for c in self.columns) + sum(n.bytes for n in self.children.values())

    def walk(self):
        yield self
        for child in self.children.values():
            yield from child.walk()


@dataclass
class Inspection:
    """A dataset's tree of paths and what the page says about the whole."""

    root: Node
    documents: int
    parts: int
    atoms_bytes: int
    columns: int
    scanned: bool  # the counts come from a scan, not from the manifest
    differing_parts: list[str]
    keys_recorded: bool  # every column carries its keys (else names were split)
    rescues: bool  # the atoms have rest columns, which keep nulls and rescued members


def _scan(parts: Parts, show_progress: bool) -> DatasetStats:
    stats = DatasetStats()
    progress = Progress("scanning parts", show_progress)
    for part in parts.files:
        before = stats.documents
        stats.add_batch(read_part(part))
        progress.advance(stats.documents - before, part.size())
    progress.finish()
    return stats


def inspect_dataset(path: str, show_progress: bool = True) -> Inspection:
    parts = dataset_parts(path)
    schema = unified_schema(parts)
    schemas: list[pa.Schema] = []
    sizes: dict[str, int] = {}
    for part in parts.files:
        own, own_sizes = part_columns(part, parts.fmt)
        schemas.append(own)
        for name, size in own_sizes.items():
            sizes[name] = sizes.get(name, 0) + size
    fields: dict[str, pa.Field] = {}
    for own in schemas:
        for f in own:
            if f.name not in fields or (f.metadata and not fields[f.name].metadata):
                fields[f.name] = f
    differences = schema_differences(parts, schema, schemas)
    manifest = parts.manifest
    scanned = manifest is None or manifest.paths is None
    stats = _scan(parts, show_progress) if scanned else DatasetStats.from_json(manifest.paths)

    root = Node(())
    nodes: dict[Keys, Node] = {(): root}

    def node(keys: Keys) -> Node:
        if keys not in nodes:
            parent = node(keys[:-1])
            parent.object = True
            nodes[keys] = parent.children[keys[-1]] = Node(keys)
        return nodes[keys]

    recorded, rescues = True, False
    for unified in schema:
        own = fields.get(unified.name, unified)
        path: ColumnPath = column_path(own)
        recorded = recorded and (path.recorded or path.role == DOCUMENT)
        rescues = rescues or path.role == REST
        column = Column(unified.name, type_name(unified.type), path.role,
                        sizes.get(unified.name, 0), differences[unified.name])
        if path.role == DOCUMENT:
            root.columns.append(column)
            continue
        if path.stamp:
            target = node(path.keys[:-1])
            target.object = True
            column.role = "stamp"
        else:
            target = node(path.keys)
            if path.role == INDEX:
                target.array = True
            elif path.role == REST:
                target.object = True
            elif not (pa.types.is_null(unified.type) and target.array):
                target.value = column.type if target.value in (None, "null") else target.value
        target.columns.append(column)
    for keys, path_stats in stats.paths.items():
        if keys in nodes or path_stats.rescued:
            node(keys).stats = path_stats
    _fill_documents(root)
    root.stats.documents = stats.documents
    atoms_bytes = manifest.atoms_bytes if manifest is not None else sum(sizes.values())
    differing = sorted({part for column in differences.values() for part, _ in column})
    return Inspection(root, stats.documents, len(parts.files), atoms_bytes, len(schema),
                      scanned, differing, recorded, rescues)


def _fill_documents(node: Node) -> int:
    """A node no column counted (a key read from a name, or an object without stamps) holds at
    least the documents of its busiest member."""
    most = max((_fill_documents(child) for child in node.children.values()), default=0)
    if not node.stats.documents:
        node.stats.documents = most
    return node.stats.documents


def human_bytes(count: int) -> str:
    for unit in ("B", "kB", "MB", "GB"):
        if count < 1000 or unit == "GB":
            return f"{count:,.0f} {unit}" if unit == "B" else f"{count:,.1f} {unit}"
        count /= 1000
    return f"{count:,.1f} GB"


def length_text(lengths: dict[int, int]) -> str:
    """Array lengths by bucket: "1: 10, 2: 3, ≤4: 7"."""
    return ", ".join(f"{'' if b <= 2 else '≤'}{b}: {n:,}" for b, n in sorted(lengths.items()))


def tree_lines(inspection: Inspection) -> list[str]:
    """The tree as text, one path a line; digest stamps are left out (their bytes count in
    their object's)."""
    lines = [f"/  document  {inspection.documents:,} documents  "
             f"{human_bytes(inspection.root.bytes)}"]

    def describe(node: Node) -> str:
        s = node.stats
        text = f"{node.keys[-1]}  {node.kind}  {s.documents:,} docs"
        if s.nulls:
            text += f"  {s.nulls:,} null"
        if s.rescued:
            text += f"  {s.rescued:,} rescued"
        if s.lengths:
            text += f"  lengths {length_text(s.lengths)}"
        text += f"  {human_bytes(node.bytes)}"
        if any(c.differs for c in node.columns):
            text += "  (parts differ)"
        return text

    def walk(node: Node, prefix: str) -> None:
        children = list(node.children.values())
        for i, child in enumerate(children):
            last = i == len(children) - 1
            lines.append(prefix + ("└── " if last else "├── ") + describe(child))
            walk(child, prefix + ("    " if last else "│   "))

    walk(inspection.root, "")
    return lines


def page_data(inspection: Inspection, title: str) -> dict[str, Any]:
    """What the page shows, as plain JSON values."""

    def data(node: Node) -> dict[str, Any]:
        s = node.stats
        return {"key": node.keys[-1] if node.keys else "", "path": pointer(node.keys) or "/",
                "kind": "document" if not node.keys else node.kind,
                "documents": s.documents, "nulls": s.nulls, "rescued": s.rescued,
                "lengths": [[b, n] for b, n in sorted(s.lengths.items())],
                "bytes": node.bytes,
                "columns": [{"name": c.name, "type": c.type, "role": c.role, "bytes": c.bytes,
                             "differs": c.differs} for c in node.columns],
                "children": [data(child) for child in node.children.values()]}

    return {"title": title, "documents": inspection.documents, "parts": inspection.parts,
            "atoms_bytes": inspection.atoms_bytes, "columns": inspection.columns,
            "scanned": inspection.scanned, "differing_parts": inspection.differing_parts,
            "keys_recorded": inspection.keys_recorded, "rescues": inspection.rescues,
            "root": data(inspection.root)}
