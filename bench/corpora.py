"""Benchmark corpora: deterministic generated JSONL of several shapes, and real files cut into
documents.

Every generated document is distinct (each carries its own sequence number `id`), every array
is homogeneous and holds no nested arrays, every key keeps one shape and one scalar type in all
documents of all shapes, and each record but an order holds at most one array, so that the
peers' explode and the shredder's unrolling produce the same rows (an order holds two: see
`orders`). Generation depends only on the shape, the seed
and the size, so two runs with the same flags see byte-identical corpora.
"""

from __future__ import annotations

import json
import os
import random
import string
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, Iterator

SHAPES = ("flat", "nested", "array_scalars", "array_objects", "wide", "mixed", "orders")

_WORDS = (
    "alpha bravo charlie delta echo foxtrot golf hotel india juliet kilo lima mike november "
    "oscar papa quebec romeo sierra tango uniform victor whiskey xray yankee zulu "
    "zürich ångström naïve café 東京 москва"
).split()
_CITIES = ("Berlin", "Paris", "Lisboa", "Kraków", "São Paulo", "Osaka", "Nairobi", "Austin")
_COUNTRIES = ("DE", "FR", "PT", "PL", "BR", "JP", "KE", "US")


def _word(rng: random.Random) -> str:
    return rng.choice(_WORDS)


def _text(rng: random.Random, lo: int, hi: int) -> str:
    return " ".join(_word(rng) for _ in range(rng.randint(lo, hi)))


def _hex(rng: random.Random, n: int) -> str:
    return "".join(rng.choice("0123456789abcdef") for _ in range(n))


def _code(rng: random.Random) -> str:
    letters = "".join(rng.choice(string.ascii_uppercase) for _ in range(3))
    return letters + str(rng.randint(100, 999))


def flat(rng: random.Random, i: int) -> dict:
    """~20 scalar members of every scalar type, a few nullable."""
    return {
        "id": i,
        "shape": "flat",
        "user_name": _text(rng, 1, 2),
        "email": f"{_word(rng)}.{i}@example.org",
        "city": rng.choice(_CITIES),
        "country": rng.choice(_COUNTRIES),
        "active": rng.random() < 0.5,
        "verified": rng.random() < 0.8,
        "score": round(rng.uniform(0, 100), 3),
        "ratio": rng.random(),
        "visits": rng.randint(0, 100000),
        "level": rng.randint(1, 10),
        "created_epoch": 1_600_000_000 + rng.randint(0, 100_000_000),
        "lat": round(rng.uniform(-90, 90), 6),
        "lon": round(rng.uniform(-180, 180), 6),
        "zip": f"{rng.randint(0, 99999):05d}",
        "token": _hex(rng, 16),
        "note": _text(rng, 2, 8) if rng.random() < 0.7 else None,
        "referrer": None if rng.random() < 0.3 else f"https://{_word(rng)}.example.com/{i}",
        "plan_code": _code(rng),
    }


def nested(rng: random.Random, i: int) -> dict:
    """Objects nested four deep below the root, scalars at every level (~20 leaves)."""
    return {
        "id": i,
        "shape": "nested",
        "event": {
            "kind": rng.choice(("click", "view", "buy", "leave")),
            "seq": rng.randint(0, 1 << 40),
            "source": {
                "app": _word(rng),
                "build": rng.randint(1, 5000),
                "device": {
                    "os": rng.choice(("linux", "android", "ios", "windows")),
                    "version": f"{rng.randint(1, 20)}.{rng.randint(0, 9)}",
                    "screen": {"w": rng.choice((720, 1080, 1440)), "h": rng.choice((1280, 1920)),
                               "dpi": round(rng.uniform(1, 4), 2), "dark": rng.random() < 0.5},
                },
                "network": {"carrier": _word(rng), "rtt_ms": round(rng.uniform(5, 400), 1)},
            },
        },
        "session": {
            "token": _hex(rng, 20),
            "started": 1_700_000_000 + rng.randint(0, 1_000_000),
            "geo": {"city": rng.choice(_CITIES), "country": rng.choice(_COUNTRIES),
                    "pos": {"lat": round(rng.uniform(-90, 90), 5),
                            "lon": round(rng.uniform(-180, 180), 5)}},
        },
    }


def array_scalars(rng: random.Random, i: int) -> dict:
    """A few scalars and one array of ~10 strings."""
    return {
        "id": i,
        "shape": "array_scalars",
        "title": _text(rng, 2, 5),
        "rank": rng.randint(1, 1000),
        "weight": rng.random(),
        "tags": [f"{_word(rng)}-{rng.randint(0, 999)}" for _ in range(rng.randint(8, 12))],
    }


def array_objects(rng: random.Random, i: int) -> dict:
    """A few scalars and one array of ~5 objects of 5 scalar members."""
    return {
        "id": i,
        "shape": "array_objects",
        "customer": _text(rng, 1, 2),
        "placed_epoch": 1_650_000_000 + rng.randint(0, 50_000_000),
        "items": [
            {"sku": _code(rng), "qty": rng.randint(1, 9), "price": round(rng.uniform(1, 500), 2),
             "label": _text(rng, 1, 3), "gift": rng.random() < 0.1}
            for _ in range(rng.randint(4, 6))
        ],
    }


_WIDE_KINDS = ("int", "float", "str", "bool")


def wide(rng: random.Random, i: int) -> dict:
    """~200 scalar members (w000..w197 plus id and shape), types cycling int/float/str/bool."""
    doc: dict = {"id": i, "shape": "wide"}
    for k in range(198):
        kind = _WIDE_KINDS[k % 4]
        if kind == "int":
            v = rng.randint(-1000, 1_000_000)
        elif kind == "float":
            v = round(rng.uniform(-1e3, 1e3), 4)
        elif kind == "str":
            v = _word(rng)
        else:
            v = rng.random() < 0.5
        doc[f"w{k:03d}"] = v
    return doc


_SINGLE: dict[str, Callable[[random.Random, int], dict]] = {
    "flat": flat,
    "nested": nested,
    "array_scalars": array_scalars,
    "array_objects": array_objects,
    "wide": wide,
}


def mixed(rng: random.Random, i: int) -> dict:
    """The other five shapes in turn (round robin by sequence number)."""
    names = tuple(_SINGLE)
    return _SINGLE[names[i % len(names)]](rng, i)


_STATUSES = ("placed", "paid", "shipped", "delivered", "returned")
_TIERS = ("basic", "silver", "gold")
_STREETS = ("Hauptstraße", "Rue de Rivoli", "Rua Augusta", "Main St", "Shinjuku-dori")


def orders(rng: random.Random, i: int) -> dict:
    """An order as a shop would log it: scalars, a buyer object three levels deep (buyer,
    address, geo), an array of 1-6 line-item objects and an array of 1-3 tags (~460 bytes).
    The only generated shape with two arrays in one record: the peers' explodes make their
    cross product (items x tags rows) where the shredder makes items + tags - 1."""
    items = [
        {"sku": _code(rng), "qty": rng.randint(1, 9), "price": round(rng.uniform(1, 500), 2),
         "gift": rng.random() < 0.1}
        for _ in range(rng.randint(1, 6))
    ]
    return {
        "id": i,
        "shape": "orders",
        "status": rng.choice(_STATUSES),
        "placed_epoch": 1_650_000_000 + rng.randint(0, 50_000_000),
        "total": round(sum(x["qty"] * x["price"] for x in items), 2),
        "buyer": {
            "name": _text(rng, 1, 2),
            "tier": rng.choice(_TIERS),
            "address": {
                "street": f"{rng.choice(_STREETS)} {rng.randint(1, 300)}",
                "city": rng.choice(_CITIES),
                "country": rng.choice(_COUNTRIES),
                "geo": {"lat": round(rng.uniform(-90, 90), 5),
                        "lon": round(rng.uniform(-180, 180), 5)},
            },
        },
        "items": items,
        "tags": [_word(rng) for _ in range(rng.randint(1, 3))],
    }


GENERATORS: dict[str, Callable[[random.Random, int], dict]] = {
    **_SINGLE, "mixed": mixed, "orders": orders}


def dumps(doc: object) -> str:
    """Compact JSON text of one document (UTF-8 kept as is)."""
    return json.dumps(doc, ensure_ascii=False, separators=(",", ":"))


def generate_lines(shape: str, *, size_bytes: int | None = None, docs: int | None = None,
                   seed: int = 8) -> Iterator[str]:
    """Yields compact JSON lines of one shape until `docs` documents or `size_bytes` bytes of
    text (newlines included) are reached, whichever is given (docs wins when both are)."""
    if shape not in GENERATORS:
        raise ValueError(f"unknown shape {shape!r}; known: {', '.join(SHAPES)}")
    if size_bytes is None and docs is None:
        raise ValueError("give size_bytes or docs")
    gen = GENERATORS[shape]
    rng = random.Random(f"{shape}/{seed}")
    total = 0
    i = 0
    while True:
        if docs is not None:
            if i >= docs:
                return
        elif total >= size_bytes:
            return
        line = dumps(gen(rng, i))
        total += len(line.encode("utf-8")) + 1
        i += 1
        yield line


def write_generated(path: Path, shape: str, *, size_bytes: int | None = None,
                    docs: int | None = None, seed: int = 8) -> Path:
    """Writes a generated corpus once; an existing file of the same name is reused (the name
    carries shape, size and seed, and generation is deterministic)."""
    if path.exists():
        return path
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp = path.with_suffix(path.suffix + f".tmp{os.getpid()}")
    with open(tmp, "w", encoding="utf-8", newline="\n") as out:
        for line in generate_lines(shape, size_bytes=size_bytes, docs=docs, seed=seed):
            out.write(line)
            out.write("\n")
    tmp.replace(path)
    return path


@dataclass
class RealCut:
    """One real file cut into documents (one JSON object per line)."""
    name: str
    source: Path
    how: str                          # "ndjson lines", "array elements" or "root object"
    lines: list[str] = field(default_factory=list)
    not_objects: int = 0              # pieces that are not objects (never documents)


def cut_real_file(path: Path) -> RealCut:
    """Cuts a real file into documents: each non-blank line of an .ndjson file (kept byte for
    byte), each object element of a top-level array, or the whole file when its root is an
    object (the last two re-serialized compactly, since a document must sit on one line)."""
    name = path.name.rsplit(".", 1)[0]
    if path.suffix == ".ndjson":
        cut = RealCut(name, path, "ndjson lines")
        with open(path, encoding="utf-8") as f:
            for raw in f:
                line = raw.strip()
                if not line:
                    continue
                if isinstance(json.loads(line), dict):
                    cut.lines.append(line)
                else:
                    cut.not_objects += 1
        return cut
    with open(path, encoding="utf-8") as f:
        root = json.load(f)
    if isinstance(root, list):
        cut = RealCut(name, path, "array elements")
        for el in root:
            if isinstance(el, dict):
                cut.lines.append(dumps(el))
            else:
                cut.not_objects += 1
        return cut
    cut = RealCut(name, path, "root object")
    if isinstance(root, dict):
        cut.lines.append(dumps(root))
    else:
        cut.not_objects += 1
    return cut


def real_files(data_dir: Path) -> list[Path]:
    """The top-level .json and .ndjson files of the real-data folder, by name."""
    return sorted(p for p in data_dir.iterdir()
                  if p.is_file() and p.suffix in (".json", ".ndjson"))
