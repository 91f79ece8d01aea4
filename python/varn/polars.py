"""VARN files as Polars lazy frames: ``scan_varn(path)``.

The frame is an IO source of Polars': when it is collected, Polars tells the
source which columns the query uses, its row filter and how many rows it
wants, and the source reads only those columns' records, skips the chunks
the file's index rules out, and filters the rows. Example::

    import polars as pl
    import varn.polars

    lf = varn.polars.scan_varn("trips.varn")
    df = lf.filter(pl.col("city") == "Oslo").select("fare").collect()

Only ``city`` and ``fare`` are read, and only from the chunks whose index
does not rule ``"Oslo"`` out.

Written for and tested on Polars 2.2 (its ``polars.io.plugins`` source
interface and the JSON form of ``Expr.meta.serialize``). On a version whose
expressions look different the translation pushes less or nothing to the
index, and the results stay the same: the whole filter is always applied by
Polars' own code to the rows read.

Needs Polars: ``pip install polars``.
"""

from __future__ import annotations

try:
    import polars as pl
    from polars.io.plugins import register_io_source
except ImportError as _exc:  # pragma: no cover - depends on the environment
    raise ImportError("varn.polars needs Polars (pip install polars): " + str(_exc)) from _exc

import inspect
import json
import math
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple

import varn

__all__ = ["scan_varn"]

# The Polars type of each VARN column type, as the Arrow stream gives it.
_POLARS_TYPES = {
    "int": pl.Int64,
    "float": pl.Float64,
    "bool": pl.Boolean,
    "none": pl.Boolean,
    "text": pl.String,
    "json": pl.String,
    "bytes": pl.Binary,
}

# Chunks read per stream: enough for the decode-ahead threads to keep busy,
# few enough that one frame of them stays small (8 x 65,536 rows).
_CHUNKS_PER_READ = 8

_COMPARISONS = {"Eq": "==", "NotEq": "!=", "Lt": "<", "LtEq": "<=", "Gt": ">", "GtEq": ">="}
# The operator with its sides swapped: 2 < col is col > 2.
_SWAPPED = {"==": "==", "!=": "!=", "<": ">", "<=": ">=", ">": "<", ">=": "<="}
_INT64_MIN, _INT64_MAX = -(2**63), 2**63 - 1
# The types whose null counts settle which cells come back null.
_NULL_COUNTED = ("int", "float", "bool", "text", "bytes")


class _NotPushed(Exception):
    """A part of the predicate the translation leaves to Polars alone."""


class _Pushdown:
    """What a predicate hands to the scan: varn filters (joined by AND) and
    null tests (column, wants_null) that rule chunks out by their null
    counts. Each of them is implied by the predicate: a row it drops is a
    row the predicate drops too."""

    def __init__(self) -> None:
        self.filters: List[Tuple[str, str, Any]] = []
        self.null_tests: List[Tuple[str, bool]] = []


def _node(expr: "pl.Expr") -> Dict[str, Any]:
    return json.loads(expr.meta.serialize(format="json"))


def _inputs(expr: "pl.Expr", node_inputs: List[Any]) -> List["pl.Expr"]:
    """The input expressions of ``expr`` in the order its JSON form lists
    them. ``meta.pop`` gives them in reverse; each is checked against the
    JSON so a change of that order pushes nothing instead of a wrong side."""
    kids = list(reversed(expr.meta.pop()))
    if len(kids) != len(node_inputs):
        raise _NotPushed
    for kid, want in zip(kids, node_inputs):
        if _node(kid) != want:
            raise _NotPushed
    return kids


def _column(expr: "pl.Expr", types: Dict[str, str]) -> str:
    if not expr.meta.is_column():
        raise _NotPushed
    name = expr.meta.output_name()
    if name not in types:
        raise _NotPushed
    return name


def _literal(expr: "pl.Expr") -> "pl.Series":
    """The values of a literal expression, evaluated by Polars (its JSON form
    loses NaN and infinities, and holds lists as Arrow IPC bytes)."""
    if not expr.meta.is_literal():
        raise _NotPushed
    return pl.select(expr.alias("v")).to_series()


def _value(series: "pl.Series", type_name: str) -> Any:
    """The one value of a literal as the varn filter of a ``type_name``
    column takes it, when the filter compares it exactly as Polars does;
    else _NotPushed."""
    if series.len() != 1:
        raise _NotPushed
    return _values(series, type_name)[0]


def _values(series: "pl.Series", type_name: str) -> List[Any]:
    dtype = series.dtype
    values = series.to_list()
    # A null never compares equal in either language, but `col == null`
    # and `is_in([.., null])` differ in Polars by options: leave them.
    if any(v is None for v in values):
        raise _NotPushed
    if type_name in ("text", "json"):
        # json cells are not compared by varn filters.
        if type_name == "text" and dtype == pl.String:
            return values
    elif type_name == "bytes":
        if dtype == pl.Binary:
            return values
    elif type_name == "int":
        # Only integers: Polars compares an int column with a float as
        # floats, which rounds large integers; varn compares exactly.
        if dtype.is_integer() and all(_INT64_MIN <= v <= _INT64_MAX for v in values):
            return values
    elif type_name == "float":
        # NaN sorts above every number in Polars and compares false in the
        # scan; infinities are fine but rare: push finite numbers only.
        if dtype.is_integer() or (dtype.is_float() and all(math.isfinite(v) for v in values)):
            return [float(v) for v in values]
    elif type_name == "bool":
        if dtype == pl.Boolean:
            return values
    raise _NotPushed


def _translate_part(expr: "pl.Expr", types: Dict[str, str], out: _Pushdown) -> None:
    """Adds what one conjunct of the predicate implies, or raises _NotPushed."""
    node = _node(expr)
    if "Column" in node:
        # A bool column used as the predicate: keeps the true cells.
        name = _column(expr, types)
        if types[name] != "bool":
            raise _NotPushed
        out.filters.append((name, "==", True))
        return
    binary = node.get("BinaryExpr")
    if binary is not None:
        op = _COMPARISONS.get(binary.get("op"))
        if op is None:
            raise _NotPushed
        left, right = _inputs(expr, [binary["left"], binary["right"]])
        if right.meta.is_column() and not left.meta.is_column():
            left, right, op = right, left, _SWAPPED[op]
        name = _column(left, types)
        out.filters.append((name, op, _value(_literal(right), types[name])))
        return
    function = node.get("Function")
    if function is None:
        raise _NotPushed
    kind = function.get("function")
    boolean = kind.get("Boolean") if isinstance(kind, dict) else None
    inputs = function.get("input", [])
    if boolean in ("IsNull", "IsNotNull"):
        (arg,) = _inputs(expr, inputs)
        name = _column(arg, types)
        if types[name] in _NULL_COUNTED:
            out.null_tests.append((name, boolean == "IsNull"))
            return
        raise _NotPushed
    if boolean == "Not":
        (arg,) = _inputs(expr, inputs)
        if arg.meta.is_column():
            name = _column(arg, types)
            if types[name] != "bool":
                raise _NotPushed
            out.filters.append((name, "==", False))
            return
        inner = _node(arg).get("Function", {})
        is_in = inner.get("function", {})
        is_in = is_in.get("Boolean") if isinstance(is_in, dict) else None
        # not(is_in): a null cell gives null (dropped) only when nulls are
        # not equal to each other, as the scan's `not in` drops it.
        if isinstance(is_in, dict) and is_in.get("IsIn", {}).get("nulls_equal") is False:
            col, values = _inputs(arg, inner["input"])
            name = _column(col, types)
            out.filters.append((name, "not in", _list(values, types[name])))
            return
        raise _NotPushed
    if isinstance(boolean, dict) and "IsIn" in boolean:
        col, values = _inputs(expr, inputs)
        name = _column(col, types)
        out.filters.append((name, "in", _list(values, types[name])))
        return
    if isinstance(boolean, dict) and "IsBetween" in boolean:
        closed = boolean["IsBetween"].get("closed")
        ops = {"Both": (">=", "<="), "Left": (">=", "<"), "Right": (">", "<="), "None": (">", "<")}.get(closed)
        if ops is None:
            raise _NotPushed
        col, lo, hi = _inputs(expr, inputs)
        name = _column(col, types)
        lo_value = _value(_literal(lo), types[name])
        hi_value = _value(_literal(hi), types[name])
        out.filters += [(name, ops[0], lo_value), (name, ops[1], hi_value)]
        return
    raise _NotPushed


def _list(expr: "pl.Expr", type_name: str) -> List[Any]:
    series = _literal(expr)
    if series.len() != 1 or not isinstance(series.dtype, pl.List):
        raise _NotPushed
    values = series[0]
    if values.dtype == pl.Null and values.len() == 0:
        return []
    return _values(values, type_name)


def _conjuncts(expr: "pl.Expr") -> Iterator["pl.Expr"]:
    node = _node(expr)
    binary = node.get("BinaryExpr")
    if binary is not None and binary.get("op") in ("And", "LogicalAnd"):
        try:
            left, right = _inputs(expr, [binary["left"], binary["right"]])
        except _NotPushed:
            yield expr
            return
        yield from _conjuncts(left)
        yield from _conjuncts(right)
        return
    yield expr


def translate(predicate: "pl.Expr", schema: Sequence[Tuple[str, str]]) -> _Pushdown:
    """The parts of a Polars predicate the scan can use, for a file of
    ``schema`` ([(name, varn type)]). Parts joined by ``&`` are taken one by
    one; a part it does not know is left out (Polars still applies it)."""
    types = dict(schema)
    out = _Pushdown()
    for part in _conjuncts(predicate):
        one = _Pushdown()
        try:
            _translate_part(part, types, one)
        except _NotPushed:
            continue
        except Exception:  # an expression form this version does not know
            continue
        out.filters += one.filters
        out.null_tests += one.null_tests
    return out


class _Source:
    """The IO source Polars calls: reads one VARN file."""

    def __init__(self, f: "varn.VarnFile") -> None:
        self.f = f
        self.chunk_rows: Optional[List[int]] = None

    def _rows_per_chunk(self) -> List[int]:
        if self.chunk_rows is None:
            cols = self.f.columns
            self.chunk_rows = [s["rows"] for s in self.f.chunk_stats(cols[0])] if cols else []
        return self.chunk_rows

    def _kept_chunks(self, push: _Pushdown) -> List[int]:
        """The chunks that may hold a row the predicate keeps."""
        keep = self.f.matching_chunks(push.filters)
        encrypted = set(self.f.encrypted)
        for name, wants_null in push.null_tests:
            # The index of an encrypted column keeps no counts to go by.
            if name in encrypted:
                continue
            stats = self.f.chunk_stats(name)
            # A chunk with no null has no cell is_null keeps; a chunk of
            # nulls only gives every cell out as null (its count settles
            # them), so is_not_null keeps none there.
            keep = [c for c in keep
                    if (stats[c]["nulls"] > 0 if wants_null else stats[c]["nulls"] < stats[c]["rows"])]
        return keep

    def _frames(self, columns: List[str], filters: List[Tuple[str, str, Any]], chunks: List[int],
                batch_rows: Optional[int]) -> Iterator["pl.DataFrame"]:
        for i in range(0, len(chunks), _CHUNKS_PER_READ):
            stream = self.f.read(columns=columns, filters=filters or None, batch_rows=batch_rows,
                                 chunks=chunks[i:i + _CHUNKS_PER_READ])
            yield pl.DataFrame(stream)

    def __call__(self, with_columns: Optional[List[str]], predicate: Optional["pl.Expr"],
                 n_rows: Optional[int], batch_size: Optional[int]) -> Iterator["pl.DataFrame"]:
        names = list(self.f.columns) if with_columns is None else list(with_columns)
        columns = list(names)
        push = _Pushdown()
        if predicate is not None:
            push = translate(predicate, self.f.schema)
            columns += [c for c in predicate.meta.root_names() if c not in columns]
        batch_rows = batch_size if isinstance(batch_size, int) and batch_size > 0 else None
        keep = self._kept_chunks(push)
        # (filters, chunks, rows to keep of them or None for all)
        plan: List[Tuple[List[Tuple[str, str, Any]], List[int], Optional[int]]]
        if n_rows is None:
            plan = [(push.filters, keep, None)]
        else:
            # The first n_rows rows of the file, before the predicate: the
            # whole chunks among them are read filtered as usual; the chunk
            # the limit cuts is read unfiltered, cut, then filtered.
            kept = set(keep)
            whole: List[int] = []
            plan = [(push.filters, whole, None)]
            left = n_rows
            for chunk, rows in enumerate(self._rows_per_chunk()):
                if left <= 0:
                    break
                if rows <= left:
                    if chunk in kept:
                        whole.append(chunk)
                elif chunk in kept:
                    plan.append(([], [chunk], left))
                left -= rows
        yielded = False
        for filters, chunks, cut in plan:
            for df in self._frames(columns, filters, chunks, batch_rows):
                if cut is not None:
                    df = df.head(cut)
                if predicate is not None:
                    df = df.filter(predicate)
                yielded = True
                yield df.select(names)
        if not yielded:
            yield self._empty(names)

    def _empty(self, names: List[str]) -> "pl.DataFrame":
        types = dict(self.f.schema)
        return pl.DataFrame(schema={n: _POLARS_TYPES[types[n]] for n in names})


def scan_varn(source: Any, *, key: Any = None, storage_options: Optional[Dict[str, Any]] = None,
              filesystem: Any = None) -> "pl.LazyFrame":
    """A ``polars.LazyFrame`` over the VARN file ``source``: a local path,
    or an fsspec URL (a remote file is read in byte ranges).

    key, storage_options, filesystem: as for ``varn.open``.

    A query reads only the columns it uses, skips the chunks the index rules
    out for the filter's simple parts (a column compared with a literal by
    ``== != < <= > >=``, ``is_in``, ``~is_in``, ``is_between``, a bool
    column or its negation, joined by ``&``), and skips chunks by their null
    counts for ``is_null`` and ``is_not_null``. The whole filter is applied
    to the rows read, so any other expression still gives the right rows.
    ``head(n)`` reads only the chunks holding the first n rows.

    Column types: int -> Int64, float -> Float64, bool -> Boolean, text and
    json -> String, bytes -> Binary. Nulls come back as described in the
    ``varn`` module docstring.

    The file's header, schema and index are read here (OSError for a
    missing file, ``varn.VarnError`` for a damaged one, ValueError for a
    wrong key); the data is read when the frame is collected.
    """
    f = varn.open(source, key, storage_options=storage_options, filesystem=filesystem)
    schema = {name: _POLARS_TYPES[type_name] for name, type_name in f.schema}
    options: Dict[str, Any] = {}
    params = inspect.signature(register_io_source).parameters
    if "explain_name" in params:
        options["explain_name"] = "varn"
        options["explain_detail"] = f.path
    return register_io_source(_Source(f), schema=schema, **options)
