"""What the command offers for atoms part files (formats with their suffixes, compressions) and
how it reads a byte size. Free of pyarrow, so that the command reads its arguments, and starts
its workers' server, before it loads the rest.
"""

from __future__ import annotations

import re

# The formats of part files, by the names the manifest and --format use, with their suffixes.
ATOM_FORMATS = {"parquet": ".parquet", "arrow": ".arrow"}
COMPRESSIONS = ("zstd", "snappy", "gzip", "none")
DEFAULT_COMPRESSION = "zstd"


def parse_size(text: str) -> int:
    """A byte count such as ``65536``, ``64MiB``, ``1.5GB`` or ``512k``."""
    match = re.fullmatch(r"\s*(\d+(?:\.\d+)?)\s*([kmgt]?)(i?b?)\s*", text.lower())
    if not match:
        raise ValueError(f"not a size: {text!r} (examples: 1048576, 64MiB, 1GB)")
    number, prefix, suffix = match.groups()
    base = 1024 if suffix.startswith("i") else 1000
    value = int(float(number) * base ** "_kmgt".index(prefix or "_"))
    if value < 1:
        raise ValueError(f"must be at least 1 byte, got {text!r}")
    return value
