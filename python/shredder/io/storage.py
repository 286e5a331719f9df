"""Local paths and storage URIs (``s3://``, ``gs://``, ``hdfs://``, ``file://``) behind one face.

Everything that reads inputs or writes datasets for the partitioned jobs goes through
``pyarrow.fs``, so a cluster's workers reach the same shared storage as the driver. A location
travels between processes as its text (the path or URI the user gave) and is resolved again
where it is used, so credentials come from each process's own environment (for S3: the AWS
variables, including ``AWS_ENDPOINT_URL``, or the URI's query options such as
``?endpoint_override=…``), never from a pickled client.
"""

from __future__ import annotations

import fnmatch
import functools
import os
import uuid
from dataclasses import dataclass

import pyarrow as pa
import pyarrow.fs as pafs

from shredder.core.errors import UserError

# Object stores write an object whole on close, so a reader never sees a partial one and a
# rename (a copy there) buys nothing.
_OBJECT_STORES = frozenset({"s3", "gcs"})
TEMP_PREFIX = ".tmp-"
# Files are copied and read in pieces of this size, never whole.
READ_CHUNK = 8 * 2**20


def is_uri(text: str) -> bool:
    return "://" in text


@functools.lru_cache(maxsize=64)
def _from_uri(uri: str) -> tuple[pafs.FileSystem, str]:
    return pafs.FileSystem.from_uri(uri)


@dataclass(frozen=True)
class Location:
    """A file or folder: its filesystem, the path within it, the text the user knows, and the
    options of the URI it came from (``endpoint_override=…&scheme=http``). The options are kept
    out of the text, which messages and the manifest show, but travel with ``portable``: a
    worker that resolves the location again must reach the same storage."""

    fs: pafs.FileSystem
    path: str
    text: str
    query: str = ""

    def __str__(self) -> str:
        return self.text

    @property
    def name(self) -> str:
        return self.path.rstrip("/").rsplit("/", 1)[-1]

    @property
    def object_store(self) -> bool:
        return self.fs.type_name in _OBJECT_STORES

    def within(self, folder: "Location") -> bool:
        """Whether this is ``folder`` or lies inside it, on the same kind of storage; local
        paths are compared as the system resolves them (links, "..")."""
        if type(self.fs) is not type(folder.fs):
            return False
        return (self._resolved() + "/").startswith(folder._resolved() + "/")

    def _resolved(self) -> str:
        local = self.fs.type_name == "local"
        return os.path.realpath(self.path) if local else self.path.rstrip("/")

    def child(self, name: str) -> "Location":
        sep = "" if self.text.endswith("/") else "/"
        return Location(self.fs, f"{self.path.rstrip('/')}/{name}", f"{self.text}{sep}{name}",
                        self.query)

    def parent(self) -> "Location":
        head = self.path.rstrip("/").rsplit("/", 1)[0] or "/"
        text = self.text.rstrip("/")
        return Location(self.fs, head, text.rsplit("/", 1)[0] if "/" in text else ".",
                        self.query)

    def with_suffix(self, suffix: str) -> "Location":
        """The file beside this one whose name is this one's followed by ``suffix``."""
        return Location(self.fs, self.path + suffix, self.text + suffix, self.query)

    @property
    def portable(self) -> str:
        """The text that names this location in any process: the URI, or the absolute path
        (a worker's working folder may not be the driver's)."""
        if self.fs.type_name == "local":
            return self.path
        return f"{self.text}?{self.query}" if self.query else self.text

    def info(self) -> pafs.FileInfo:
        try:
            return self.fs.get_file_info(self.path)
        except (OSError, pa.ArrowException) as error:
            raise UserError(f"{self}: cannot reach: {error}") from None

    def exists(self) -> bool:
        return self.info().type != pafs.FileType.NotFound

    def is_dir(self) -> bool:
        return self.info().type == pafs.FileType.Directory

    def size(self) -> int:
        return self.info().size or 0

    def list(self) -> list["Location"]:
        """The files directly inside this folder, in name order."""
        try:
            infos = self.fs.get_file_info(pafs.FileSelector(self.path, allow_not_found=True))
        except (OSError, pa.ArrowException) as error:
            raise UserError(f"{self}: cannot list: {error}") from None
        names = sorted(info.base_name for info in infos if info.type == pafs.FileType.File)
        return [self.child(name) for name in names]

    def list_all(self) -> list["Location"]:
        """Files and folders directly inside this folder, in name order."""
        try:
            infos = self.fs.get_file_info(pafs.FileSelector(self.path, allow_not_found=True))
        except (OSError, pa.ArrowException) as error:
            raise UserError(f"{self}: cannot list: {error}") from None
        return [self.child(name) for name in sorted(info.base_name for info in infos)]

    def mkdir(self) -> None:
        if not self.object_store:
            self.fs.create_dir(self.path, recursive=True)

    def delete(self) -> None:
        info = self.info()
        if info.type == pafs.FileType.File:
            self.fs.delete_file(self.path)
        elif info.type == pafs.FileType.Directory:
            self.fs.delete_dir(self.path)

    def open_input(self) -> pa.NativeFile:
        try:
            return self.fs.open_input_file(self.path)
        except FileNotFoundError:
            raise UserError(f"{self}: no such file") from None
        except (OSError, pa.ArrowException) as error:
            raise UserError(f"{self}: cannot read: {error}") from None

    def open_stream(self) -> pa.NativeFile:
        try:
            return self.fs.open_input_stream(self.path, compression=None)
        except FileNotFoundError:
            raise UserError(f"{self}: no such file") from None
        except (OSError, pa.ArrowException) as error:
            raise UserError(f"{self}: cannot read: {error}") from None

    def read_bytes(self) -> bytes:
        with self.open_stream() as stream:
            return stream.read()

    def write_atomically(self, write) -> None:
        """Calls ``write(stream)`` on a temporary file beside this one and then renames it here,
        so this name only ever holds a complete file (object stores: the object is stored whole
        when its stream closes). A failed write leaves nothing behind."""
        file = AtomicFile(self)
        try:
            with file.open() as stream:
                write(stream)
            file.commit()
        except OSError as error:  # a full disk, a folder gone: named by the file meant
            file.abort()
            # the system's reason, not Arrow's text, which names the temporary file
            reason = os.strerror(error.errno) if error.errno else error.strerror or error
            raise UserError(f"{self}: cannot write: {reason}") from None
        except BaseException:
            file.abort()
            raise

    def write_bytes(self, data: bytes) -> None:
        self.write_atomically(lambda stream: stream.write(data))


class AtomicFile:
    """A file written under a temporary name beside its final one and renamed there on
    ``commit``, so its name only ever holds a complete file; several writers never share a
    temporary name. Object stores write an object whole when its stream closes, so there it is
    written in place. ``abort`` removes what was written."""

    def __init__(self, location: Location) -> None:
        self.location = location
        self.target = location if location.object_store else location.parent().child(
            f"{TEMP_PREFIX}{uuid.uuid4().hex}-{location.name}")
        self._stream: pa.NativeFile | None = None

    def open(self) -> pa.NativeFile:
        self._stream = self.target.fs.open_output_stream(self.target.path, compression=None)
        return self._stream

    def commit(self) -> None:
        if self._stream is not None:
            self._stream.close()
        if self.target.path != self.location.path:
            self.location.fs.move(self.target.path, self.location.path)

    def abort(self) -> None:
        # in place (an object store), a file is only ours once we opened it
        if self.target.path == self.location.path and self._stream is None:
            return
        try:
            if self._stream is not None:
                self._stream.close()
            self.target.delete()
        except (OSError, pa.ArrowException, UserError):
            pass


def resolve(text: str) -> Location:
    """The location a path or URI names. Local paths stay as they are (relative ones too)."""
    if is_uri(text):
        scheme, _, rest = text.partition("://")
        if scheme == "file":
            return Location(pafs.LocalFileSystem(), os.path.abspath("/" + rest.lstrip("/")), text)
        try:
            filesystem, path = _from_uri(text)
        except (OSError, pa.ArrowException, ValueError) as error:
            raise UserError(f"{text}: cannot open storage: {error}") from None
        plain, _, query = text.partition("?")
        return Location(filesystem, path, plain, query)
    return Location(pafs.LocalFileSystem(), os.path.abspath(text), text)


def expand(text: str) -> list[Location]:
    """The files one input names: a file, a folder's files in name order, or a glob pattern's
    matches in name order. Names starting with "." or "_" inside folders are skipped (hidden
    files, dataset bookkeeping)."""
    # a URI's options come after a "?", which is no pattern
    plain, mark, query = text.partition("?") if is_uri(text) else (text, "", "")
    if any(ch in plain for ch in "*?["):
        folder_text, _, pattern = plain.rpartition("/")
        if any(ch in folder_text for ch in "*?["):
            raise UserError(f"{text}: only the last part of a path may hold a pattern")
        folder = resolve((folder_text or ".") + mark + query)
        if not folder.is_dir():
            raise UserError(f"{text}: no such folder: {folder}")
        matches = [loc for loc in folder.list() if fnmatch.fnmatchcase(loc.name, pattern)]
        if not matches:
            raise UserError(f"{text}: no file matches")
        return matches
    location = resolve(text)
    info = location.info()
    if info.type == pafs.FileType.NotFound:
        raise UserError(f"{text}: no such file or folder")
    if info.type == pafs.FileType.Directory:
        files = [loc for loc in location.list() if not loc.name.startswith((".", "_"))]
        if not files:
            raise UserError(f"{text}: folder holds no input files")
        return files
    return [location]


def remove_folder(folder: Location) -> None:
    """Removes a folder of files (no subfolders), the files first."""
    for entry in folder.list():
        entry.delete()
    if folder.exists():
        folder.delete()


def remove_temporary(folder: Location) -> None:
    """Removes what interrupted writes left in a folder: files under temporary names."""
    try:
        for entry in folder.list():
            if entry.name.startswith(TEMP_PREFIX):
                entry.delete()
    except (UserError, OSError, pa.ArrowException):
        pass
