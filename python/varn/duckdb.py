"""VARN files in DuckDB queries, with the query's columns and filters
reaching the VARN scan.

``scan(path)`` gives a Polars lazy frame over the file (``varn.polars.scan_varn``);
DuckDB queries it by its Python variable name, or under a name given with
``register``::

    import duckdb
    import varn.duckdb

    trips = varn.duckdb.scan("trips.varn")
    duckdb.sql("SELECT count(*) FROM trips WHERE city = 'Oslo'").fetchall()

    con = duckdb.connect()
    varn.duckdb.register(con, "trips", "trips.varn")
    con.sql("SELECT avg(fare) FROM trips WHERE k BETWEEN 10 AND 20").fetchall()

How the pushdown gets there: for each scan of a Polars LazyFrame, DuckDB
applies the filters it can translate exactly with ``LazyFrame.filter``, the
columns the query uses with ``select``, and collects the result; the frame's
VARN source then reads only those columns and skips the chunks the filter's
simple parts rule out (see ``varn.polars``). DuckDB describes this
behaviour in its Python package's code, not in its user documentation: it
was checked on DuckDB 2.0.1 (with Polars 2.2), and the tests of this module
pin it. On a DuckDB that does not push into Polars frames the results stay
the same, but every column and chunk is read. DuckDB does not hand on what
it cannot translate exactly (an OR of columns, a comparison where NaN could
match): those queries read all chunks of the columns they use.

Each scan collects its filtered, narrowed rows in memory before DuckDB
reads them.

Going through an object with only ``__arrow_c_stream__`` (``VarnFile.read()``)
reads every record: DuckDB then filters after the fact. A pyarrow Dataset
look-alike is not offered filters by DuckDB, so this module does not use one.

Needs Polars and DuckDB: ``pip install polars duckdb``.
"""

from __future__ import annotations

from typing import Any, Dict, Optional

from .polars import scan_varn

__all__ = ["scan", "register"]


def scan(source: Any, *, key: Any = None, storage_options: Optional[Dict[str, Any]] = None,
         filesystem: Any = None) -> Any:
    """A Polars LazyFrame over the VARN file ``source`` (a local path or an
    fsspec URL) for DuckDB to query (see the module docstring); ``key``,
    ``storage_options`` and ``filesystem`` as for ``varn.open``."""
    return scan_varn(source, key=key, storage_options=storage_options, filesystem=filesystem)


def register(connection: Any, name: str, source: Any, *, key: Any = None,
             storage_options: Optional[Dict[str, Any]] = None, filesystem: Any = None) -> Any:
    """Makes the VARN file ``source`` queryable as the view ``name`` on the
    DuckDB ``connection``; returns the connection. The other arguments as
    for ``scan``."""
    connection.register(name, scan_varn(source, key=key, storage_options=storage_options,
                                        filesystem=filesystem))
    return connection
