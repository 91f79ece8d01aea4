"""Read VARN v2 column files from Python as Arrow data, and write them from CSV.

``varn.open(path)`` gives the file's schema, row and chunk counts and the
per-chunk statistics of its index; ``VarnFile.read(...)`` gives an object
that speaks the Arrow PyCapsule stream protocol (``__arrow_c_stream__``), so
pyarrow, pandas, Polars and DuckDB take it as it is. Only the chosen columns'
records are read, and chunks that the index rules out for the filters are
never read. For queries whose columns and filters reach that read, see
``varn.polars.scan_varn`` (a Polars lazy frame), ``varn.duckdb`` and
``varn.dask.read_varn`` (docs/engines.md).

Example::

    import varn
    f = varn.open("trips.varn")
    table = varn.read_arrow("trips.varn", columns=["city", "fare"],
                            filters=[("city", "==", "Oslo")])

Column types map to Arrow types as: text -> utf8, int -> int64, float ->
float64 (the stored value / 10000), bool -> bool, bytes -> binary, json ->
utf8 JSON text.

Nulls: a VARN file stores a null int, float, bool, text or bytes cell as 0,
false or the empty string and only counts them per chunk. Where that count
settles which cells were null (as many such cells as nulls), they come back
null; otherwise they come back as the stored value and ``stats["hidden_nulls"]``
counts them. A json null is always null.
"""

from __future__ import annotations

import datetime as _datetime
import errno as _errno
import numbers as _numbers
import operator as _operator
import os as _os
import re as _re
import stat as _stat
from typing import Any, Callable, Dict, Iterable, List, Optional, Sequence, Tuple, Union

from . import _varn

__all__ = [
    "VarnError",
    "VarnFile",
    "ArrowStream",
    "open",
    "read_arrow",
    "read_pandas",
    "convert",
]

VarnError = _varn.VarnError

# How a failed request of a remote file is reported (see _remote).
_REQUEST_FAILED = _re.compile(r": bytes \d+-\d+( \(\d+ ranges\))?: the request failed: ")

_OPS = ("==", "!=", "<", "<=", ">", ">=", "in", "not in")
_INT64_MIN = -(2**63)
_INT64_MAX = 2**63 - 1


def _is_bool(value: Any) -> bool:
    """A Python or NumPy bool."""
    kind = type(value)
    return isinstance(value, bool) or (
        kind.__module__ == "numpy" and kind.__name__ in ("bool_", "bool")
    )


def _as_int(value: Any) -> Optional[int]:
    """The int of anything with __index__, else None."""
    if _is_bool(value) or not hasattr(type(value), "__index__"):
        return None
    try:
        return _operator.index(value)
    except TypeError:
        return None


def _as_float(value: Any, where: str) -> float:
    try:
        return float(value)
    except OverflowError:
        raise ValueError(f"{where}: the value is outside the range of float columns") from None

PathLike = Union[str, "_os.PathLike[str]"]
Key = Union[bytes, Dict[str, bytes], None]
Filter = Tuple[str, str, Any]


def _is_remote(path: Any, filesystem: Any) -> bool:
    # A str with a scheme, or any path on a given file system (fsspec).
    return filesystem is not None or (isinstance(path, str) and "://" in path)


def _path(path: PathLike) -> str:
    p = _os.fspath(path)
    if isinstance(p, bytes):
        p = _os.fsdecode(p)
    return p


def _max_memory(max_memory: Any) -> int:
    """The budget as the extension takes it: 0 for the default."""
    if max_memory is None:
        return 0
    if isinstance(max_memory, bool) or not isinstance(max_memory, int):
        raise TypeError(f"max_memory must be an int (bytes) or None, not {type(max_memory).__name__}")
    if max_memory <= 0:
        raise ValueError(f"max_memory must be positive, not {max_memory}")
    return max_memory


def _check_key_bytes(key: Any, what: str) -> bytes:
    if isinstance(key, (bytearray, memoryview)):
        key = bytes(key)
    if not isinstance(key, bytes):
        raise TypeError(f"{what} must be 32 bytes, not {type(key).__name__}")
    if len(key) != 32:
        raise ValueError(f"{what} must be 32 bytes, not {len(key)}")
    return key


class ArrowStream:
    """The rows a ``VarnFile.read`` call selects, as an Arrow C stream.

    Hand it to any consumer of the Arrow PyCapsule protocol:
    ``pyarrow.table(s)``, ``pyarrow.RecordBatchReader.from_stream(s)``,
    ``polars.DataFrame(s)``, ``duckdb.sql("select * from s")``. Each call of
    ``__arrow_c_stream__`` starts a fresh stream over the file, so the object
    may be read more than once; a stream that is dropped unread frees
    everything. One record batch per chunk (or per ``batch_rows`` rows).
    """

    __slots__ = ("_scan", "_schema")

    def __init__(self, scan: Any, schema: List[Tuple[str, str]]) -> None:
        self._scan = scan
        self._schema = schema

    @property
    def schema(self) -> List[Tuple[str, str]]:
        """The columns of the stream: [(name, VARN type name)]."""
        return list(self._schema)

    def __arrow_c_stream__(self, requested_schema: Optional[object] = None) -> object:
        """A new ``arrow_array_stream`` capsule (the Arrow PyCapsule protocol).

        ``requested_schema`` is accepted for the protocol and ignored: the
        stream always has the types described in the module docstring.
        """
        return _varn.stream(self._scan)

    @property
    def stats(self) -> Dict[str, int]:
        """What the most recent stream did so far: ``chunks_read``,
        ``chunks_skipped`` (ruled out by the index, never read),
        ``records_read`` (column records read and decoded), ``rows`` given
        out and ``hidden_nulls`` (null cells given out as their stored 0,
        false or empty value)."""
        return _varn.scan_stats(self._scan)

    def read_arrow(self) -> Any:
        """All the rows as a ``pyarrow.Table`` (needs pyarrow).

        A damaged record raises ``VarnError`` naming its place."""
        import pyarrow as pa

        reader = pa.RecordBatchReader.from_stream(self)
        try:
            return reader.read_all()
        except VarnError:
            raise
        except Exception as exc:  # the stream's own message names the place
            if _REQUEST_FAILED.search(str(exc)):
                # A remote read that failed, not a damaged file.
                raise OSError(str(exc)) from exc
            raise VarnError(str(exc)) from exc

    def __repr__(self) -> str:
        cols = ", ".join(f"{n}: {t}" for n, t in self._schema)
        return f"<varn.ArrowStream [{cols}]>"


def _check_openable(path: str) -> None:
    """Raises the usual OSError subclasses (FileNotFoundError,
    PermissionError, IsADirectoryError) for a path that cannot be read,
    without waiting on a FIFO or a device: the native open refuses anything
    but a regular file."""
    fd = _os.open(path, _os.O_RDONLY | getattr(_os, "O_NONBLOCK", 0) | getattr(_os, "O_CLOEXEC", 0))
    try:
        if _stat.S_ISDIR(_os.fstat(fd).st_mode):
            raise IsADirectoryError(_errno.EISDIR, _os.strerror(_errno.EISDIR), path)
    finally:
        _os.close(fd)


class VarnFile:
    """An open VARN v2 file (see ``varn.open``).

    The handle keeps the file it opened (its descriptor, size and index)
    until ``close()``: every read of it reads that file, even when the path
    is replaced or removed meanwhile. ``with varn.open(p) as f:`` closes it
    at the end of the block. Streams already started keep reading until
    they end; anything else after ``close()`` raises ValueError.
    """

    __slots__ = ("_path", "_file", "_schema", "_encrypted", "_rows", "_chunks", "_created", "_closed")

    def __init__(self, path: PathLike, key: Key = None, *,
                 storage_options: Optional[Dict[str, Any]] = None, filesystem: Any = None,
                 max_memory: Optional[int] = None) -> None:
        budget = _max_memory(max_memory)
        self._file = None
        self._closed = False
        # Column names of a dict of keys are resolved once the schema is known.
        first_key = None if key is None or isinstance(key, dict) else _check_key_bytes(key, "key")
        if _is_remote(path, filesystem):
            from . import _remote

            fs, p, self._path = _remote.resolve(path, storage_options, filesystem)
            local = _remote.local_path(fs, p)
            if local is None:
                self._file = _remote.open_file(fs, p, self._path, first_key, budget)
            else:
                self._path = local
        else:
            if storage_options:
                raise ValueError("storage_options apply to URLs only, not to the local path "
                                 f"{_path(path)!r}")
            self._path = _path(path)
        if self._file is None:
            _check_openable(self._path)
            self._file = _varn.open(self._path, first_key, budget)
        schema, self._rows, self._chunks, created = _varn.info(self._file)
        self._schema = [(name, type_name) for name, type_name, _ in schema]
        self._encrypted = [bool(enc) for _, _, enc in schema]
        self._created = _datetime.datetime.fromtimestamp(created, _datetime.timezone.utc)
        if isinstance(key, dict):
            keys = {}
            for name, k in key.items():
                keys[self._column(name, "key")] = _check_key_bytes(k, f"the key of column {name!r}")
            # Set on this opened file: opening the path again could open another file.
            _varn.set_keys(self._file, keys)

    def close(self) -> None:
        """Releases the file (its descriptor closes once the streams still
        reading it end). Closing twice is allowed."""
        if self._file is not None:
            _varn.close(self._file)
        self._closed = True

    @property
    def closed(self) -> bool:
        """Whether ``close()`` was called."""
        return self._closed

    def __enter__(self) -> "VarnFile":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def _column(self, name: Any, what: str) -> int:
        if not isinstance(name, str):
            raise TypeError(f"{what}: a column name is a str, not {type(name).__name__}")
        for i, (n, _) in enumerate(self._schema):
            if n == name:
                return i
        raise ValueError(f"{what}: no column named {name!r} in {self._path}")

    @property
    def path(self) -> str:
        """The path the file was opened with."""
        return self._path

    @property
    def schema(self) -> List[Tuple[str, str]]:
        """The columns in file order: [(name, type name)], the type one of
        none, int, float, bool, text, bytes or json."""
        return list(self._schema)

    @property
    def columns(self) -> List[str]:
        """The column names in file order."""
        return [n for n, _ in self._schema]

    @property
    def encrypted(self) -> List[str]:
        """The names of the encrypted columns."""
        return [n for (n, _), e in zip(self._schema, self._encrypted) if e]

    @property
    def num_rows(self) -> int:
        """The number of rows of the file."""
        return self._rows

    @property
    def num_chunks(self) -> int:
        """The number of chunks (65,536 rows each for converted CSV files)."""
        return self._chunks

    @property
    def created(self) -> _datetime.datetime:
        """When the file was written, as an aware datetime in UTC."""
        return self._created

    def chunk_stats(self, column: str) -> List[Dict[str, Any]]:
        """The index's statistics of ``column``, one dict per chunk:
        ``rows``, ``nulls``, ``min`` and ``max``. ``min``/``max`` are None
        where the index keeps none (bytes and json columns, and chunks whose
        every cell is null); for float columns they are the cells truncated
        to whole numbers, as the index stores them. Reads only the index.

        Raises ValueError for a column the file does not have."""
        col = self._column(column, "chunk_stats")
        return [
            {"rows": rows, "nulls": nulls, "min": lo, "max": hi}
            for rows, nulls, lo, hi in _varn.chunk_stats(self._file, col)
        ]

    def _filter_value(self, col: int, value: Any, where: str) -> Any:
        type_name = self._schema[col][1]
        if value is None:
            raise ValueError(f"{where}: None matches no cell; filters compare values only")
        if type_name == "text":
            if isinstance(value, str):
                return value.encode("utf-8", "surrogateescape")
            if isinstance(value, (bytes, bytearray)):
                return bytes(value)
            raise TypeError(f"{where}: column {self._schema[col][0]!r} is text; compare it with str")
        if type_name == "bytes":
            if isinstance(value, (bytes, bytearray, memoryview)):
                return bytes(value)
            raise TypeError(f"{where}: column {self._schema[col][0]!r} is bytes; compare it with bytes")
        if type_name == "int":
            # Integers are anything with __index__ (NumPy and pandas integers
            # included); a real number only when it is a whole one.
            number = None if _is_bool(value) else _as_int(value)
            if number is None and not _is_bool(value) and isinstance(value, _numbers.Real):
                real = _as_float(value, where)
                if real.is_integer():
                    number = int(real)
            if number is None:
                raise TypeError(f"{where}: column {self._schema[col][0]!r} is int; compare it with int")
            if not _INT64_MIN <= number <= _INT64_MAX:
                raise ValueError(f"{where}: {number} is outside the 64-bit range of int columns")
            return number
        if type_name == "float":
            if _is_bool(value):
                raise TypeError(
                    f"{where}: column {self._schema[col][0]!r} is float; compare it with a number"
                )
            number = _as_int(value)
            if number is not None:
                return _as_float(number, where)
            if isinstance(value, _numbers.Real):
                return _as_float(value, where)
            raise TypeError(f"{where}: column {self._schema[col][0]!r} is float; compare it with a number")
        if type_name in ("bool", "none"):
            if _is_bool(value):
                return int(bool(value))
            number = _as_int(value)
            if number is None and isinstance(value, _numbers.Real) and _as_float(value, where) in (0.0, 1.0):
                number = int(_as_float(value, where))
            if number in (0, 1):
                return number
            raise TypeError(f"{where}: column {self._schema[col][0]!r} is bool; compare it with bool")
        raise ValueError(f"{where}: column {self._schema[col][0]!r} holds json, which filters do not compare")

    def _filters(self, filters: Optional[Iterable[Filter]]) -> List[Tuple[int, str, List[Any]]]:
        out: List[Tuple[int, str, List[Any]]] = []
        if filters is None:
            return out
        if isinstance(filters, tuple) and len(filters) == 3 and isinstance(filters[1], str):
            filters = [filters]  # a single (column, op, value)
        for flt in filters:
            if not isinstance(flt, (tuple, list)) or len(flt) != 3:
                raise TypeError(f"a filter is a (column, op, value) tuple, not {flt!r}")
            name, op, value = flt
            where = f"filter {tuple(flt)!r}"
            if not isinstance(op, str) or op.lower() not in _OPS:
                raise ValueError(f"{where}: op must be one of {', '.join(_OPS)}")
            op = op.lower()
            col = self._column(name, where)
            if op in ("in", "not in"):
                if isinstance(value, (str, bytes)) or not isinstance(value, Iterable):
                    raise TypeError(f"{where}: '{op}' takes a list, tuple or set of values")
                values = [self._filter_value(col, v, where) for v in value]
            else:
                values = [self._filter_value(col, value, where)]
            out.append((col, op, values))
        return out

    def read(
        self,
        columns: Optional[Sequence[str]] = None,
        filters: Optional[Iterable[Filter]] = None,
        batch_rows: Optional[int] = None,
        chunks: Optional[Sequence[int]] = None,
    ) -> ArrowStream:
        """Selects rows and columns; returns an ``ArrowStream``.

        columns: names in output order (default: all, in file order); only
        their records are read.
        filters: (column, op, value) tuples joined by AND; op is one of
        ==, !=, <, <=, >, >=, in, not in (value a collection for the last
        two). Text compares by bytes, int and float numerically, bool as
        False < True. A null cell matches no comparison (!= and not in
        too), with one exception: on a text or bytes column, == "" (b"" for
        bytes, or an "in" list holding it) also matches null cells, which
        are stored as the empty value, and != "" keeps the non-empty cells. Cells whose
        nulls the file cannot place (``stats["hidden_nulls"]``) compare as
        the stored 0 or False they come back as. Chunks the index rules
        out (minimum/maximum, null count, and the Bloom filter for == and
        in on text) are never read. ``varn cat --where`` takes the same
        language with the same meaning (docs/filters.md).
        batch_rows: the most rows per record batch (default: one batch per
        chunk).
        chunks: read only these chunks (numbers from 0), in this order
        (default: every chunk); the filters still apply to them.

        Raises ValueError for unknown columns or bad filters, and when an
        encrypted column taken has no key or a wrong one (checked here,
        before any data is read).
        """
        if columns is None:
            cols = list(range(len(self._schema)))
        else:
            if isinstance(columns, str):
                raise TypeError("columns is a list of names, not a str")
            cols = [self._column(c, "columns") for c in columns]
        if batch_rows is None:
            rows = 0
        else:
            if isinstance(batch_rows, bool) or not isinstance(batch_rows, int):
                raise TypeError("batch_rows must be an int")
            if batch_rows <= 0:
                raise ValueError("batch_rows must be positive")
            rows = batch_rows
        scan = _varn.scan(self._file, cols, self._filters(filters), rows)
        if chunks is not None:
            _varn.select_chunks(scan, self._chunk_numbers(chunks))
        return ArrowStream(scan, [self._schema[c] for c in cols])

    def _chunk_numbers(self, chunks: Sequence[int]) -> List[int]:
        if isinstance(chunks, (str, bytes)) or not isinstance(chunks, Iterable):
            raise TypeError("chunks is a list of chunk numbers")
        out = []
        for c in chunks:
            if isinstance(c, bool) or not isinstance(c, int):
                raise TypeError(f"a chunk number is an int, not {type(c).__name__}")
            if not 0 <= c < self._chunks:
                raise ValueError(f"chunk {c} is out of range: {self._path} has {self._chunks} chunks")
            out.append(c)
        return out

    def matching_chunks(self, filters: Optional[Iterable[Filter]] = None) -> List[int]:
        """The numbers of the chunks that hold rows and that the index does
        not rule out for ``filters`` (see ``read``): the chunks a read with
        these filters reads. Only the index is consulted.

        Raises ValueError for unknown columns or bad filters."""
        return _varn.matching_chunks(self._file, self._filters(filters))

    def __repr__(self) -> str:
        state = " (closed)" if self._closed else ""
        return f"<varn.VarnFile {self._path!r}: {self._rows} rows, {len(self._schema)} columns{state}>"


def open(  # noqa: A001 - the API's name
    path: PathLike,
    key: Key = None,
    *,
    storage_options: Optional[Dict[str, Any]] = None,
    filesystem: Any = None,
    max_memory: Optional[int] = None,
) -> VarnFile:
    """Opens the VARN v2 file at ``path`` and reads its header, schema and index.

    path: a local path, or any fsspec URL (``s3://bucket/x.varn``,
    ``gs://...``, ``https://...``, ``memory://...``; needs
    ``pip install 'varn_fileformat[remote]'`` and the scheme's file system
    package). A remote file is read in byte ranges: opening costs one round
    of requests, a read one per window of chunks (see docs/remote.md).
    key: the key of the encrypted columns: 32 bytes for all of them, or
    {column name: 32 bytes}. Without a key the other columns stay readable.
    storage_options: options of the URL's file system (credentials,
    endpoint, ...), as for pandas and Dask; never shown in a message.
    filesystem: an fsspec file system to read ``path`` from (instead of
    ``storage_options``).
    max_memory: the memory budget in bytes, of a local or a remote file
    (None: an eighth of the physical memory). A block of the file, or a
    chunk's columns decoded at once, that would take more is refused with
    ``VarnError`` before it is allocated; a remote file's cache of fetched
    records stays within half of it.

    Raises OSError (FileNotFoundError, ...) when the file cannot be opened
    and ``VarnError`` when it is not a sound VARN v2 file.
    """
    return VarnFile(path, key, storage_options=storage_options, filesystem=filesystem, max_memory=max_memory)


def read_arrow(
    path: PathLike,
    columns: Optional[Sequence[str]] = None,
    filters: Optional[Iterable[Filter]] = None,
    key: Key = None,
    *,
    storage_options: Optional[Dict[str, Any]] = None,
    filesystem: Any = None,
    max_memory: Optional[int] = None,
) -> Any:
    """The file's rows as a ``pyarrow.Table``. Needs pyarrow
    (``pip install 'varn_fileformat[arrow]'``).

    path: a local path or an fsspec URL, with ``storage_options`` or
    ``filesystem``, as for ``varn.open``.
    columns: names to read, in output order (default: all); only their
    records are read.
    filters: (column, op, value) tuples joined by AND, as ``VarnFile.read``
    takes them; chunks the index rules out are never read.
    key: 32 bytes, or {column: 32 bytes}, for encrypted columns.
    max_memory: the memory budget, as for ``varn.open``.

    Column types: text -> utf8, int -> int64, float -> float64, bool ->
    bool, bytes -> binary, json -> utf8 JSON text.

    Raises ImportError without pyarrow; OSError (FileNotFoundError, ...)
    when the file cannot be opened or a remote request fails; ValueError
    for unknown columns, bad filters, or a missing or wrong key;
    ``VarnError`` (a ValueError) for a damaged file, naming the place."""
    with open(path, key, storage_options=storage_options, filesystem=filesystem, max_memory=max_memory) as f:
        return f.read(columns, filters).read_arrow()


def read_pandas(
    path: PathLike,
    columns: Optional[Sequence[str]] = None,
    filters: Optional[Iterable[Filter]] = None,
    key: Key = None,
    *,
    storage_options: Optional[Dict[str, Any]] = None,
    filesystem: Any = None,
    max_memory: Optional[int] = None,
) -> Any:
    """The file's rows as a ``pandas.DataFrame`` (through pyarrow). Needs
    pandas and pyarrow (``pip install 'varn_fileformat[pandas]'``).

    path, columns, filters, key, storage_options, filesystem, max_memory: as
    ``read_arrow``. Int and bool columns with nulls become float and object
    columns, as pyarrow converts them.

    Raises what ``read_arrow`` raises, and ImportError without pandas."""
    return read_arrow(path, columns, filters, key, storage_options=storage_options,
                      filesystem=filesystem, max_memory=max_memory).to_pandas()


_TYPE_NAMES = ("int", "float", "bool", "text", "bytes", "json")


def convert(
    csv_path: PathLike,
    varn_path: PathLike,
    *,
    types: Optional[Dict[str, str]] = None,
    encrypt: Optional[Sequence[str]] = None,
    key: Optional[bytes] = None,
    progress: Optional[Callable[[int, int], Any]] = None,
    report: bool = True,
    threads: Optional[int] = None,
    dialect: str = "rfc4180",
    delimiter: Optional[str] = None,
    infer: Optional[bool] = None,
    lossy: bool = False,
    extra_fields: Optional[str] = None,
    encoding: Optional[str] = None,
    skip_lines: int = 0,
    comment: Optional[str] = None,
    storage_options: Optional[Dict[str, Any]] = None,
    filesystem: Any = None,
    level: str = "default",
    max_memory: Optional[int] = None,
) -> Tuple[int, int, float]:
    """Converts a CSV file to a VARN v2 file as ``varn compress`` does, with
    the same options and the same defaults.

    Needs nothing beyond the package. The input may be gzip, zstd, bzip2 or
    xz compressed (recognised by its first bytes; rfc4180 only).

    csv_path, varn_path: local paths or fsspec URLs (see ``varn.open``);
    ``storage_options`` or ``filesystem`` serve the URLs (a path without
    ``scheme://`` is a local path here). A remote CSV is streamed (its
    compression recognised as for a local file); a remote
    output is written to a local temporary file and uploaded, and the call
    returns only once the upload is done (a failed upload leaves no object
    and raises OSError).

    dialect: ``"rfc4180"`` (quoted fields, a detected or given delimiter,
    compressed input) or ``"plain"``, the dialect of ``compress_csv``
    (``--plain``: every comma separates, no quoting, every column text
    unless ``types`` says otherwise; the same bytes as ``compress_csv`` but
    for the creation time).
    delimiter: one character (``"\\t"`` or a tab for a tab); None detects it
    from the header line (``--delimiter``; rfc4180 only).
    infer: infer int, float and bool columns where every cell keeps its
    exact text (None: yes for rfc4180; ``False`` is ``--no-infer``; the
    plain dialect infers nothing).
    lossy: let ``types`` columns lose data instead of raising ValueError:
    empty cells stored as 0/false, floats rounded to 4 decimals (``--lossy``).
    extra_fields: ``"error"`` (None: a row with more fields than the header
    raises ValueError) or ``"drop"`` (``--extra-fields``; rfc4180 only).
    types: {column: type} with type one of int, float, bool, text, bytes,
    json (the others are inferred, or text).
    encrypt: names of columns to encrypt with ``key`` (32 bytes).
    progress: called after every batch of 65,536 rows with (bytes read,
    rows); an exception it raises stops the conversion and is raised.
    report: write the converter's report lines to standard error.
    threads: worker threads that analyse and compress the columns while the
    next rows are read (None: one per CPU this process may use; 1: none; at
    most 8 are started). The file is the same for every count.
    encoding: the text's encoding, any name iconv knows (``"latin1"``,
    ``"cp1252"``, ``"shift_jis"``, ``"utf-16"``, ...), transcoded to UTF-8
    as it is read (``--encoding``). None: UTF-8, or UTF-16 / UTF-32 when the
    text starts with their byte-order mark.
    skip_lines: drop this many lines at the start, whatever they hold
    (``--skip-lines``).
    comment: one character; every line that starts with it is dropped,
    before and after the header (``--comment``).
    level: how hard the block compressor works (``--level``): ``"fast"``
    (fastest to write, a slightly larger file), ``"default"`` or ``"small"``
    (the smallest file, never larger than default; slowest to write). Every
    reader reads files of any level.
    max_memory: the memory budget in bytes (None: an eighth of the physical
    memory, as for reading; ``--max-memory``). A row takes about 3 times
    its length while it is converted, so a row longer than a third of the
    budget raises ValueError naming its line, before it is read whole (a
    small compressed input can hold a line of gigabytes).

    Returns (csv_size, varn_size, saved_percent), as ``compress_csv``; the
    output is replaced only once complete (it is written as a temporary file
    beside it; see docs/reliability.md). The GIL is released while
    converting.

    Raises TypeError and ValueError for bad options; OSError when the input
    is missing or unreadable or the output cannot be written; ValueError
    (with the message ``varn compress`` gives, naming the line) for text
    that is not CSV or not in its encoding, an unknown encoding, a row
    longer than the header or than the memory budget allows, or a cell a
    declared type cannot hold;
    MemoryError when memory runs out; whatever ``progress`` raises.
    """
    type_list: List[Tuple[str, str]] = []
    for name, type_name in (types or {}).items():
        if not isinstance(name, str) or not isinstance(type_name, str):
            raise TypeError("types maps column names to type names (str to str)")
        if type_name.lower() not in _TYPE_NAMES:
            raise ValueError(f"unknown type {type_name!r} for column {name!r} ({', '.join(_TYPE_NAMES)})")
        type_list.append((name, type_name.lower()))
    if encrypt is not None:
        if isinstance(encrypt, str):
            encrypt = [encrypt]
        encrypt = list(encrypt)
        if key is None:
            raise ValueError("encrypt needs key (32 bytes)")
        key = _check_key_bytes(key, "key")
    elif key is not None:
        raise ValueError("key is only used with encrypt")
    if progress is not None and not callable(progress):
        raise TypeError("progress must be callable")
    if threads is not None:
        if not isinstance(threads, int) or isinstance(threads, bool):
            raise TypeError("threads must be an int or None")
        if not 1 <= threads <= 1024:
            raise ValueError(f"threads must be from 1 to 1024, not {threads}")
    if dialect not in ("rfc4180", "plain"):
        raise ValueError(f"dialect must be 'rfc4180' or 'plain', not {dialect!r}")
    plain = dialect == "plain"
    if plain and (delimiter is not None or extra_fields is not None or infer):
        raise ValueError("the plain dialect reads commas, drops extra fields and infers no types: "
                         "delimiter, extra_fields and infer=True do not apply")
    delimiter_byte = 0
    if delimiter is not None:
        if not isinstance(delimiter, str):
            raise TypeError("delimiter must be a str or None")
        if delimiter == "\\t":
            delimiter = "\t"
        if len(delimiter) != 1 or not delimiter.isascii() or delimiter in '"\r\n':
            raise ValueError("delimiter takes one character other than a quote or a line end "
                             f"(\\t for a tab), not {delimiter!r}")
        delimiter_byte = ord(delimiter)
    if extra_fields not in (None, "error", "drop"):
        raise ValueError(f"extra_fields must be 'error' or 'drop', not {extra_fields!r}")
    if encoding is not None and (not isinstance(encoding, str) or not encoding):
        raise TypeError("encoding must be a non-empty str (an iconv name such as 'latin1') or None")
    if not isinstance(skip_lines, int) or isinstance(skip_lines, bool):
        raise TypeError("skip_lines must be an int")
    if skip_lines < 0:
        raise ValueError(f"skip_lines must be 0 or more, not {skip_lines}")
    comment_byte = 0
    if comment is not None:
        if not isinstance(comment, str):
            raise TypeError("comment must be a str or None")
        if len(comment) != 1 or not comment.isascii() or comment in '"\r\n':
            raise ValueError(f"comment takes one ASCII character other than a quote or a line end, not {comment!r}")
        comment_byte = ord(comment)
    if plain and (encoding is not None or skip_lines or comment is not None):
        raise ValueError("the plain dialect reads UTF-8 lines from the first: "
                         "encoding, skip_lines and comment do not apply")
    if level not in ("fast", "default", "small"):
        raise ValueError(f"level must be 'fast', 'default' or 'small', not {level!r}")
    args = (type_list, encrypt, key, progress, bool(report), threads,
            plain, delimiter_byte, not plain and infer is not False, bool(lossy), extra_fields == "drop",
            encoding or "", skip_lines, comment_byte, level, _max_memory(max_memory))
    if _is_remote(csv_path, None) or _is_remote(varn_path, None):
        from . import _remote

        ends = []
        for p in (csv_path, varn_path):
            if _is_remote(p, None):
                fs, fp, url = _remote.resolve(p, storage_options, filesystem)
                local = _remote.local_path(fs, fp)
                ends.append((False, None, local, local) if local is not None else (True, fs, fp, url))
            else:
                ends.append((False, None, _path(p), _path(p)))
        if not ends[0][0] and ends[0][2] == "-":
            ends[0] = (False, None, "./-", "./-")
        return _remote.convert(_varn.convert, ends[0], ends[1], args)
    if storage_options or filesystem is not None:
        raise ValueError("storage_options and filesystem apply to URLs only")
    csv = _path(csv_path)
    # A path is a path here, never standard input.
    if csv == "-":
        csv = "./-"
    return _varn.convert(csv, _path(varn_path), *args)

