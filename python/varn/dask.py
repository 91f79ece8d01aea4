"""VARN datasets on Dask: many CSV files converted on a cluster, many VARN
files read back as one Dask DataFrame.

A dataset is a set of VARN files (say one per day), each with its own index.
``read_varn`` plans on the client from those indexes: it opens every file
(header, schema and index only), checks that all schemas agree, drops the
files and chunks the filters rule out, and makes one task per remaining file
(or chunk); the workers then read only the chosen columns and filter the rows
exactly. ``convert`` runs one ``varn.convert`` task per CSV file on a
``distributed`` cluster.

Paths must name the same files on the client and on every worker (a local
disk on a one-machine cluster, or a shared file system), or be URLs of an
object store (``s3://``, ``gs://``, any fsspec URL) with ``storage_options``
or ``filesystem``, which travel to the workers hidden as keys do.

Keys of encrypted columns: pass them as ``key=``; they are wrapped in an
object whose ``repr`` and ``str`` hide them and whose Dask token is random,
so they appear in no task name, no repr of the task graph and no log line
of Dask's (which shows task arguments through ``repr``). They do travel, as
pickled bytes inside the tasks, from the client to the scheduler and the
workers, and sit in their memory while the tasks exist: anyone who can read
that traffic (use TLS between the cluster's processes when the network is
not trusted) or run code on the scheduler or a worker can read the key.

Needs Dask: ``pip install 'varn_fileformat[dask]'`` (dask[dataframe],
distributed, pandas and pyarrow; CPython 3.10 or newer).
"""

from __future__ import annotations

try:
    import dask
    import dask.dataframe as dd
    import pandas as pd
    import pyarrow as pa
except ImportError as _exc:  # pragma: no cover - depends on the environment
    raise ImportError(
        "varn.dask needs Dask with its DataFrame support, pandas and pyarrow "
        "(pip install 'varn_fileformat[dask]', CPython 3.10 or newer): " + str(_exc)
    ) from _exc

import glob as _glob
import os
import uuid
from typing import Any, Callable, Dict, Iterable, List, Optional, Sequence, Tuple, Union

import varn

__all__ = ["read_varn", "convert", "ConvertError"]

PathLike = Union[str, "os.PathLike[str]"]


# ---------------------------------------------------------------------------
# Keys.


class _Secret:
    """Holds a key for the workers without showing it.

    repr/str give a placeholder, so Dask's logs and graph reprs (which show
    task arguments through repr) never hold it, and the Dask token is random,
    so task names are not derived from it. Pickling keeps the value: it must
    reach the workers.
    """

    __slots__ = ("_value", "_token")

    def __init__(self, value: Any, token: Optional[str] = None) -> None:
        self._value = value
        self._token = token or uuid.uuid4().hex

    @property
    def value(self) -> Any:
        return self._value

    def __repr__(self) -> str:
        return "<varn key: hidden>"

    __str__ = __repr__

    def __dask_tokenize__(self) -> str:
        return self._token

    def __reduce__(self) -> Tuple[Any, Tuple[Any, str]]:
        return (_Secret, (self._value, self._token))

    def __eq__(self, other: object) -> bool:
        return isinstance(other, _Secret) and other._token == self._token

    def __hash__(self) -> int:
        return hash(self._token)


def _secret(key: Any) -> Optional[_Secret]:
    if key is None or isinstance(key, _Secret):
        return key
    if isinstance(key, (bytearray, memoryview)):
        key = bytes(key)
    if isinstance(key, dict):
        key = {name: bytes(k) if isinstance(k, (bytearray, memoryview)) else k for name, k in key.items()}
    return _Secret(key)


# ---------------------------------------------------------------------------
# Paths.


def _is_remote(path: Any, storage: Optional[_Secret]) -> bool:
    filesystem = storage.value[1] if storage is not None else None
    return varn._is_remote(path, filesystem)


def _storage_kw(storage: Optional[_Secret]) -> Dict[str, Any]:
    if storage is None:
        return {}
    options, filesystem = storage.value
    return {"storage_options": options, "filesystem": filesystem}


def _expand_remote(path: str, suffix: str, what: str, storage: Optional[_Secret]) -> List[str]:
    """A URL, a URL glob pattern or a URL "directory" (prefix) -> URLs."""
    from . import _remote

    kw = _storage_kw(storage)
    fs, p, shown = _remote.resolve(path, kw.get("storage_options"), kw.get("filesystem"))
    given_fs = kw.get("filesystem") is not None

    def back(x: str) -> str:
        return x if given_fs else fs.unstrip_protocol(x)

    if _glob.has_magic(p):
        out = sorted(back(x) for x in fs.glob(p))
        if not out:
            raise FileNotFoundError(f"{what}: no file matches {shown}")
        return out
    if path.endswith("/") or fs.isdir(p):
        out = sorted(back(x["name"]) for x in fs.ls(p, detail=True)
                     if x.get("type") == "file" and x["name"].endswith(suffix))
        if not out:
            raise FileNotFoundError(f"{what}: no {suffix} file under {shown}")
        return out
    return [path]


def _expand(paths: Any, suffix: str, what: str, storage: Optional[_Secret] = None) -> List[str]:
    """A list of paths, a glob pattern or a directory (its *suffix files,
    sorted) -> the list of file paths, in the order given. URLs (fsspec)
    as well: a pattern, a prefix ending in "/" or a single object."""
    if isinstance(paths, str) and _is_remote(paths, storage):
        return _expand_remote(paths, suffix, what, storage)
    if isinstance(paths, (str, os.PathLike)):
        p = os.fspath(paths)
        if isinstance(p, bytes):
            p = os.fsdecode(p)
        if os.path.isdir(p):
            out = sorted(
                os.path.join(p, n) for n in os.listdir(p)
                if n.endswith(suffix) and os.path.isfile(os.path.join(p, n))
            )
            if not out:
                raise FileNotFoundError(f"{what}: no {suffix} file in the directory {p}")
            return out
        if _glob.has_magic(p):
            out = sorted(_glob.glob(p))
            if not out:
                raise FileNotFoundError(f"{what}: no file matches {p}")
            return out
        return [p]
    if isinstance(paths, bytes):
        return _expand(os.fsdecode(paths), suffix, what)
    try:
        items = list(paths)
    except TypeError:
        raise TypeError(f"{what}: give a path, a glob pattern, a directory or a list of paths") from None
    if not items:
        raise ValueError(f"{what}: the list of paths is empty")
    out = []
    for item in items:
        if not isinstance(item, (str, bytes, os.PathLike)):
            raise TypeError(f"{what}: a path is a str or os.PathLike, not {type(item).__name__}")
        p = os.fspath(item)
        out.append(os.fsdecode(p) if isinstance(p, bytes) else p)
    return out


# ---------------------------------------------------------------------------
# read_varn.


def _types_mapper(t: "pa.DataType") -> Any:
    # Nullable pandas types for int and bool, so a partition with a null and
    # one without have the same dtypes (numpy int64 would become float64).
    if pa.types.is_integer(t):
        return pd.Int64Dtype()
    if pa.types.is_boolean(t):
        return pd.BooleanDtype()
    # Byte strings stay Arrow data: as object columns Dask would take them
    # for text and convert them to strings.
    if pa.types.is_binary(t) or pa.types.is_large_binary(t):
        return pd.ArrowDtype(t)
    return None


def _to_pandas(table: "pa.Table") -> "pd.DataFrame":
    return table.to_pandas(types_mapper=_types_mapper)


class _ReadPart:
    """Reads one partition on a worker: (path, chunks or None) -> DataFrame."""

    def __init__(self, columns: List[str], filters: Optional[list], key: Optional[_Secret],
                 schema: List[Tuple[str, str]], token: str, storage: Optional[_Secret] = None) -> None:
        self.columns = columns
        self.filters = filters
        self.key = key
        self.storage = storage
        self.schema = schema
        self.token = token

    def __dask_tokenize__(self) -> str:
        # Dask names the tasks from this; the key (which pickling would
        # otherwise put into the hash) counts only through its random token.
        return self.token

    def __call__(self, part: Tuple[str, Optional[List[int]]],
                 columns: Optional[List[str]] = None) -> "pd.DataFrame":
        # Dask passes ``columns`` when a later selection was pushed into the
        # read (it does so only because this keyword exists): then only those
        # columns' records are read, in the order asked.
        path, chunks = part
        cols = self.columns if columns is None else list(columns)
        f = varn.open(path, key=self.key.value if self.key is not None else None,
                      **_storage_kw(self.storage))
        if f.schema != self.schema:
            raise varn.VarnError(
                f"{path}: the file changed since read_varn planned the read: "
                f"its schema is now {f.schema}, was {self.schema}"
            )
        table = f.read(columns=cols, filters=self.filters, chunks=chunks).read_arrow()
        return _to_pandas(table)

    def __repr__(self) -> str:
        return f"<varn.dask read columns={self.columns!r} filters={self.filters!r}>"


def _storage(storage_options: Optional[Dict[str, Any]], filesystem: Any) -> Optional[_Secret]:
    # Credentials live in both: hidden like keys.
    if storage_options is None and filesystem is None:
        return None
    return _Secret((storage_options, filesystem))


def _file_state(path: str, storage: Optional[_Secret]) -> Any:
    """What tells a rewritten file from the one read before."""
    if not _is_remote(path, storage):
        st = os.stat(path)
        return (path, st.st_mtime_ns, st.st_size)
    from . import _remote

    kw = _storage_kw(storage)
    fs, p, _ = _remote.resolve(path, kw.get("storage_options"), kw.get("filesystem"))
    info = fs.info(p)
    return (path, sorted((k, str(v)) for k, v in info.items()))


def _describe_difference(a: List[Tuple[str, str]], b: List[Tuple[str, str]]) -> str:
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return f"column {i + 1} is {x[0]!r} ({x[1]}) in one and {y[0]!r} ({y[1]}) in the other"
    return f"one has {len(a)} columns, the other {len(b)}"


def read_varn(
    paths: Any,
    columns: Optional[Sequence[str]] = None,
    filters: Optional[Iterable[Tuple[str, str, Any]]] = None,
    split_by: str = "file",
    key: Any = None,
    storage_options: Optional[Dict[str, Any]] = None,
    filesystem: Any = None,
) -> "dd.DataFrame":
    """Reads VARN files as one Dask DataFrame.

    paths: a list of paths, a glob pattern, or a directory (its ``*.varn``
    files, sorted by name). Every file must have the same column names and
    types, in the same order.
    columns: names to read, in this order (default: all); only their
    records are read. A later selection (``ddf[["a", "b"]]``, ``ddf["a"]``)
    narrows the read further: Dask's optimizer hands it to the partition
    reads, which then read only those columns' records.
    filters: ``(column, op, value)`` tuples joined by AND, as for
    ``varn.VarnFile.read`` (==, !=, <, <=, >, >=, in, not in). Files and
    chunks whose index rules them out are dropped on the client, before any
    task is made (``npartitions`` counts only what is left); the rows of the
    rest are filtered exactly on the workers.
    split_by: ``"file"`` (one partition per file) or ``"chunk"`` (one per
    chunk of 65,536 rows).
    key: the key of encrypted columns, as for ``varn.open`` (32 bytes, or
    {column: 32 bytes}); see the module docstring for how it travels.
    storage_options, filesystem: for URLs (``s3://bucket/days/``,
    ``s3://bucket/days/*.varn``), as for ``varn.open``; they travel to the
    workers hidden as keys do.

    Text and json columns become strings, int columns ``Int64``, bool
    columns ``boolean`` (nullable), float columns ``float64`` and bytes
    columns ``ArrowDtype(binary)``. Divisions are unknown.

    Raises ValueError when the schemas differ (naming two files that
    differ), for unknown columns and bad filters; ``varn.VarnError`` for a
    damaged file; OSError for a missing one.
    """
    if split_by not in ("file", "chunk"):
        raise ValueError(f"split_by must be 'file' or 'chunk', not {split_by!r}")
    storage = _storage(storage_options, filesystem)
    storage_kw = _storage_kw(storage)
    files = _expand(paths, ".varn", "read_varn", storage)
    if filters is not None:
        filters = list(filters)
    secret = _secret(key)
    plain_key = secret.value if secret is not None else None

    first_path = files[0]
    if isinstance(columns, str):
        raise TypeError("columns is a list of names, not a str")
    first = varn.open(first_path, key=plain_key, **storage_kw)
    schema = first.schema
    cols = list(first.columns) if columns is None else list(columns)
    # Checks the columns and filters once, and gives the Arrow schema of
    # every partition (opening a stream reads nothing).
    arrow_schema = pa.RecordBatchReader.from_stream(first.read(columns=cols, filters=filters)).schema
    meta = _to_pandas(arrow_schema.empty_table())

    parts: List[Tuple[str, Optional[List[int]]]] = []
    for path in files:
        f = first if path is first_path else varn.open(path, key=plain_key, **storage_kw)
        if f.schema != schema:
            raise ValueError(
                f"the schemas of {first_path} and {path} differ: "
                f"{_describe_difference(schema, f.schema)}"
            )
        chunks = f.matching_chunks(filters)
        if not chunks:
            continue
        if split_by == "chunk":
            parts.extend((path, [c]) for c in chunks)
        elif len(chunks) == f.num_chunks:
            parts.append((path, None))
        else:
            parts.append((path, chunks))

    if not parts:
        # Dask has no collection of no partitions: one empty one.
        return dd.from_pandas(meta, npartitions=1)
    # The files' sizes and times count, so a rewritten file is not taken
    # for the one read before.
    token = dask.base.tokenize(
        [_file_state(p, storage) for p in files], cols, filters, secret, storage, split_by,
    )
    reader = _ReadPart(cols, filters, secret, schema, token, storage)
    return dd.from_map(reader, parts, meta=meta, label="read-varn", enforce_metadata=False)


# ---------------------------------------------------------------------------
# convert.


class ConvertError(Exception):
    """One or more shards of ``varn.dask.convert`` failed.

    ``failures`` is a list of (csv_path, exception), in input order; the
    message names every failed shard with the error its conversion gave.
    """

    def __init__(self, failures: List[Tuple[str, BaseException]], total: int) -> None:
        self.failures = failures
        self.total = total
        lines = [f"{len(failures)} of {total} shards failed to convert:"]
        lines += [f"  {path}: {exc}" for path, exc in failures]
        super().__init__("\n".join(lines))

    def __reduce__(self) -> Tuple[Any, Tuple[Any, int]]:
        return (ConvertError, (self.failures, self.total))


def _convert_one(csv_path: str, varn_path: str, options: Dict[str, Any],
                 key: Optional[_Secret], storage: Optional[_Secret] = None) -> Tuple[str, str, int, int, float]:
    """Converts one shard with varn.convert, which writes a temporary file
    beside the output and renames it into place only when the conversion
    succeeded: a failed shard leaves no file (and an older output at
    varn_path untouched), and what a killed task left is removed by the next
    conversion of the same output on that host. A remote output is written
    locally and uploaded by varn.convert, which leaves no object when it
    fails."""
    kwargs = dict(options)
    if key is not None:
        kwargs["key"] = key.value
    kwargs.update(_storage_kw(storage))
    csv_size, varn_size, saved = varn.convert(csv_path, varn_path, **kwargs)
    return (csv_path, varn_path, csv_size, varn_size, saved)


def _out_name(csv_path: str) -> str:
    base = os.path.basename(csv_path)
    stem = base[:-4] if base.lower().endswith(".csv") else base
    return stem + ".varn"


def convert(
    csv_paths: Any,
    out_dir: PathLike,
    client: Any = None,
    errors: str = "raise",
    storage_options: Optional[Dict[str, Any]] = None,
    filesystem: Any = None,
    **convert_options: Any,
) -> List[Union[Tuple[str, str, int, int, float], BaseException]]:
    """Converts CSV files to VARN files, one ``varn.convert`` task per file
    on a ``distributed`` cluster.

    csv_paths: a list of paths, a glob pattern, or a directory (its ``*.csv``
    files, sorted by name). Each ``NAME.csv`` becomes ``out_dir/NAME.varn``;
    two inputs with the same name are refused before anything runs.
    out_dir: created if missing; must be visible to every worker.
    client: a ``distributed.Client`` (default: the current one).
    storage_options, filesystem: for URLs among the inputs and out_dir
    (``s3://bucket/in/*.csv``, ``s3://bucket/out/``), as for
    ``varn.convert``; hidden in the tasks as keys are.
    errors: ``"raise"``: when every task has finished, raise one
    ``ConvertError`` naming every failed shard with the message
    ``varn compress`` gives; ``"return"``: put the exception in that
    shard's place of the result instead.
    convert_options: passed to ``varn.convert`` (types, encrypt, key,
    delimiter, encoding, skip_lines, comment, level, max_memory (each
    task's budget on its worker), ...);
    ``report`` defaults to False (no report lines on the workers' stderr).
    A ``key`` is hidden as described in the module docstring.

    Returns [(csv_path, varn_path, csv_size, varn_size, saved_percent)] in
    input order. A shard that fails leaves no output file and does not stop
    the others.
    """
    if errors not in ("raise", "return"):
        raise ValueError(f"errors must be 'raise' or 'return', not {errors!r}")
    # Checked here so that a bad level fails before any task is submitted.
    if convert_options.get("level", "default") not in ("fast", "default", "small"):
        raise ValueError(f"level must be 'fast', 'default' or 'small', not {convert_options['level']!r}")
    varn._max_memory(convert_options.get("max_memory"))
    storage = _storage(storage_options, filesystem)
    csvs = _expand(csv_paths, ".csv", "convert", storage)
    if client is None:
        try:
            from distributed import get_client
        except ImportError as exc:  # pragma: no cover - distributed is in the extra
            raise ImportError("varn.dask.convert needs distributed (pip install distributed)") from exc
        try:
            client = get_client()
        except ValueError:
            raise ValueError(
                "varn.dask.convert: no distributed Client is running; create one "
                "(distributed.Client(...)) or pass client="
            ) from None
    out = os.fspath(out_dir)
    if _is_remote(out, storage):
        # Object stores have no directories to make: the uploads name them.
        targets = [out.rstrip("/") + "/" + _out_name(p.rsplit("/", 1)[-1]) for p in csvs]
    else:
        os.makedirs(out, exist_ok=True)
        targets = [os.path.join(out, _out_name(p)) for p in csvs]
    seen: Dict[str, str] = {}
    for src, dst in zip(csvs, targets):
        if dst in seen:
            raise ValueError(f"{seen[dst]} and {src} would both be converted to {dst}")
        seen[dst] = src

    options = dict(convert_options)
    options.setdefault("report", False)
    if "progress" in options and options["progress"] is not None:
        raise ValueError("progress is not supported: the conversions run on the workers")

    secret = _secret(options.pop("key", None))

    futures = [
        client.submit(_convert_one, src, dst, options, secret, storage, pure=False,
                      key=f"varn-convert-{i}-{uuid.uuid4().hex}")
        for i, (src, dst) in enumerate(zip(csvs, targets))
    ]
    results: List[Any] = []
    failures: List[Tuple[str, BaseException]] = []
    for src, fut in zip(csvs, futures):
        try:
            results.append(fut.result())
        except Exception as exc:
            results.append(exc)
            failures.append((src, exc))
    if failures and errors == "raise":
        raise ConvertError(failures, len(csvs))
    return results
