"""Files in object storage (``s3://``, ``gs://``, ``https://``, ``memory://``
or any other fsspec URL) for the varn package.

A path without ``://`` (and no ``filesystem``) never comes here: local files
are read by the extension with pread, as always, without importing fsspec.

Reading: opening fetches the header and the file's tail together (one
``cat_ranges`` call: two ranges in one round of requests); the tail holds
the trailer and, unless the index is larger, the whole index. The file's
size comes from the trailer, so no separate size request is made. A read
then fetches, per window of chunks, the records of the chunks the index
does not rule out and of the columns used, neighbours merged, in one
``cat_ranges`` call.

Writing: the conversion writes a local temporary file and uploads it with
``fs.put``; only then is it done. A failed upload removes what it may have
left and raises. The local file, ``.varn-upload-HOSTTAG-PID-XXXXXXXX.varn``
in the temporary directory (``TMPDIR``), is removed when the call ends;
what a killed process left there is removed by the next upload on the same
host once that pid no longer runs.
"""

from __future__ import annotations

import os
import re
import struct
import tempfile
import threading
from typing import Any, Dict, List, Optional, Tuple

from . import _varn

# Bytes fetched at open: the header (and schema) from the start, and the
# trailer and index from the end.
HEAD_BYTES = 16 << 10
TAIL_BYTES = 64 << 10
_TRAILER = 16

INSTALL_HINT = "pip install 'varn_fileformat[remote]'"


def is_remote(path: Any, filesystem: Any) -> bool:
    """Whether ``path`` is to be read through fsspec: a ``filesystem`` was
    given, or the path is a str with a scheme (``scheme://``)."""
    if filesystem is not None:
        return True
    return isinstance(path, str) and "://" in path


def fsspec_module() -> Any:
    try:
        import fsspec
    except ImportError as exc:
        raise ImportError(
            f"URLs need fsspec: {INSTALL_HINT} (and the package of the URL's "
            "file system, such as s3fs for s3:// or gcsfs for gs://)"
        ) from exc
    return fsspec


def shown(url: str) -> str:
    """The URL for messages and reprs: no user or password, no query (a
    signed URL's query holds its signature)."""
    url = re.sub(r"^([A-Za-z][A-Za-z0-9+.-]*://)[^/@]*@", r"\1", url)
    return re.sub(r"\?.*$", "?...", url)


def resolve(path: Any, storage_options: Optional[Dict[str, Any]], filesystem: Any) -> Tuple[Any, str, str]:
    """(file system, its path, the URL shown in messages)."""
    path = os.fspath(path)
    if isinstance(path, bytes):
        path = os.fsdecode(path)
    if filesystem is not None:
        if storage_options:
            raise ValueError("give storage_options or filesystem, not both")
        strip = getattr(filesystem, "_strip_protocol", None)
        return filesystem, strip(path) if strip else path, shown(path)
    fsspec = fsspec_module()
    if storage_options is not None and not isinstance(storage_options, dict):
        raise TypeError("storage_options must be a dict or None")
    fs, p = fsspec.core.url_to_fs(path, **(storage_options or {}))
    return fs, p, shown(path)


def local_path(fs: Any, p: str) -> Optional[str]:
    """The local path of a ``file://`` URL (read as any local file)."""
    try:
        from fsspec.implementations.local import LocalFileSystem
    except ImportError:  # pragma: no cover
        return None
    return p if isinstance(fs, LocalFileSystem) else None


def _raise_first(parts: List[Any]) -> None:
    for part in parts:
        if isinstance(part, BaseException):
            raise part


def _missing(url: str, exc: BaseException) -> FileNotFoundError:
    err = FileNotFoundError(2, f"no such object: {url}", url)
    err.__cause__ = exc
    return err


def _fetcher(fs: Any, p: str) -> Any:
    def fetch(starts: List[int], ends: List[int]) -> List[bytes]:
        parts = fs.cat_ranges([p] * len(starts), starts, ends, on_error="return")
        _raise_first(parts)
        return parts

    return fetch


def open_file(fs: Any, p: str, url: str, key: Any, max_memory: int = 0) -> Any:
    """The extension's handle of the VARN file ``p`` on ``fs``, read within
    the memory budget ``max_memory`` (0: the default)."""
    try:
        parts = fs.cat_ranges([p, p], [0, -TAIL_BYTES], [HEAD_BYTES, None], on_error="return")
        _raise_first(parts)
    except FileNotFoundError as exc:
        raise _missing(url, exc) from None
    except OSError as exc:
        raise OSError(f"{url}: reading the header and the last {TAIL_BYTES} bytes failed: {exc}") from exc
    head, tail = bytes(parts[0]), bytes(parts[1])
    if len(tail) < TAIL_BYTES:
        size = len(tail)  # the whole object
    else:
        index_len, index_at = struct.unpack("<QQ", tail[-_TRAILER:])
        size = index_at + index_len + _TRAILER
        if not len(tail) <= size < 2**62:
            # Not a sound trailer: the store tells the size, and the reader
            # names what is wrong.
            size = int(fs.size(p))
    blocks = [(0, head[:size]), (size - len(tail), tail)] if size >= len(tail) else [(0, head)]
    return _varn.open_source(_fetcher(fs, p), size, url, blocks, key, max_memory)


# ---------------------------------------------------------------------------
# Conversion.


class _Feeder(threading.Thread):
    """Copies a remote object into a pipe the conversion reads (gzip and
    zstd are recognised by their bytes, as for any input; type inference
    spools a pipe for its second pass)."""

    def __init__(self, fs: Any, p: str, write_fd: int) -> None:
        super().__init__(daemon=True, name="varn-remote-input")
        self.fs, self.p, self.fd = fs, p, write_fd
        self.error: Optional[BaseException] = None

    def run(self) -> None:
        try:
            with self.fs.open(self.p, "rb") as src:
                while True:
                    data = src.read(1 << 20)
                    if not data:
                        break
                    view = memoryview(data)
                    while view:
                        n = os.write(self.fd, view)
                        view = view[n:]
        except BrokenPipeError:
            pass  # the conversion stopped reading: its own error is raised
        except BaseException as exc:  # noqa: B902 - handed to the caller
            self.error = exc
        finally:
            os.close(self.fd)


def _rename_in(exc: BaseException, old: str, new: str) -> BaseException:
    text = str(exc)
    if old not in text:
        return exc
    try:
        out = type(exc)(text.replace(old, new))
    except Exception:  # an exception type with other arguments
        return exc
    out.__cause__ = exc.__cause__
    return out


# The local file of an upload, and the converter's own temporary file of it.
_UPLOAD = r"\.varn-upload-(?P<tag>[0-9a-f]{8})-(?P<pid>[1-9][0-9]{0,9})-[a-z0-9_]{8}\.varn"
_UPLOAD_NAME = re.compile(_UPLOAD)
_UPLOAD_TEMP_NAME = re.compile(
    r"\." + _UPLOAD + r"\.varn-(?P<tag2>[0-9a-f]{8})-(?P<pid2>[1-9][0-9]{0,9})-[A-Za-z0-9]{6}\.tmp")


def _ended(pid: int) -> bool:
    """Whether no process with this pid runs (another user's counts as running)."""
    if pid == os.getpid():
        return False
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    except (PermissionError, OverflowError, OSError):
        return False
    return False


def remove_stale_uploads(directory: str, tag: str) -> int:
    """Removes the local files of uploads (and their converters' temporary
    files) in ``directory`` that processes of this host (``tag``) left and
    that no longer run; nothing else. Returns how many were removed."""
    removed = 0
    try:
        names = os.listdir(directory)
    except OSError:
        return 0
    for name in names:
        m = _UPLOAD_NAME.fullmatch(name)
        pids = []
        if m is not None and m.group("tag") == tag:
            pids = [int(m.group("pid"))]
        else:
            m = _UPLOAD_TEMP_NAME.fullmatch(name)
            if m is not None and m.group("tag") == tag and m.group("tag2") == tag:
                pids = [int(m.group("pid")), int(m.group("pid2"))]
        if not pids or not all(_ended(pid) for pid in pids):
            continue
        path = os.path.join(directory, name)
        try:
            if os.path.islink(path) or not os.path.isfile(path):
                continue
            os.unlink(path)
            removed += 1
        except OSError:
            pass
    return removed


def convert(convert_native: Any, csv: Tuple[bool, Any, str, str], out: Tuple[bool, Any, str, str],
            args: Tuple[Any, ...]) -> Tuple[int, int, float]:
    """Runs ``convert_native(csv_path, varn_path, *args)`` with a remote
    input streamed through a pipe and a remote output written to a local
    temporary file, then uploaded. ``csv`` and ``out``: (remote, fs, path,
    shown URL); a local one's path is used as it is."""
    csv_remote, in_fs, in_path, in_url = csv
    out_remote, out_fs, out_path, out_url = out
    feeder = None
    tmp = None
    try:
        if csv_remote:
            read_fd, write_fd = os.pipe()
            feeder = _Feeder(in_fs, in_path, write_fd)
            feeder.start()
            csv_arg = f"/dev/fd/{read_fd}"
        else:
            csv_arg = in_path
        if out_remote:
            tag = _varn.temp_host_tag()
            remove_stale_uploads(tempfile.gettempdir(), tag)
            fd, tmp = tempfile.mkstemp(prefix=f".varn-upload-{tag}-{os.getpid()}-", suffix=".varn")
            os.close(fd)
            varn_arg = tmp
        else:
            varn_arg = out_path
        failure: Optional[BaseException] = None
        try:
            result = convert_native(csv_arg, varn_arg, *args)
        except BaseException as exc:  # noqa: B902 - raised below
            failure = exc
        if feeder is not None:
            os.close(read_fd)
            feeder.join()
            if feeder.error is not None:
                # The input stopped early: what was converted is not the object.
                if failure is None and not out_remote:
                    try:
                        os.unlink(out_path)
                    except OSError:
                        pass
                if isinstance(feeder.error, FileNotFoundError):
                    raise _missing(in_url, feeder.error) from None
                raise OSError(f"{in_url}: reading failed: {feeder.error}") from feeder.error
        if failure is not None:
            renamed = failure
            if isinstance(failure, Exception):
                if csv_remote:
                    renamed = _rename_in(renamed, csv_arg, in_url)
                if out_remote:
                    renamed = _rename_in(renamed, varn_arg, out_url)
            if renamed is failure:
                raise failure
            raise renamed from failure
        if out_remote:
            _upload(out_fs, tmp, out_path, out_url)
        return result
    finally:
        if tmp is not None:
            try:
                os.unlink(tmp)
            except OSError:
                pass


def _upload(fs: Any, local: str, p: str, url: str) -> None:
    existed = True
    try:
        existed = bool(fs.exists(p))
    except Exception:
        pass
    try:
        fs.put(local, p)
    except BaseException as exc:
        # A failed upload leaves no new object behind (an older one stays
        # where the store's uploads are all-or-nothing).
        if not existed:
            try:
                fs.rm(p)
            except Exception:
                pass
        if isinstance(exc, Exception):
            raise OSError(f"{url}: the upload failed: {exc}") from exc
        raise
