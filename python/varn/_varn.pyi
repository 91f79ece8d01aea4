# The private extension under the varn package; use the package's API.
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, Union

class VarnError(ValueError): ...

def open(path: str, key: Union[bytes, Dict[int, bytes], None]) -> object: ...
def open_source(
    fetch: Callable[[List[int], List[int]], List[bytes]],
    size: int,
    url: str,
    blocks: Sequence[Tuple[int, bytes]],
    key: Union[bytes, Dict[int, bytes], None],
) -> object: ...
def set_keys(file: object, key: Union[bytes, Dict[int, bytes], None]) -> None: ...
def close(file: object) -> None: ...
def info(file: object) -> Tuple[List[Tuple[str, str, int]], int, int, int]: ...
def chunk_stats(file: object, column: int) -> List[Tuple[int, int, Any, Any]]: ...
def scan(
    file: object,
    columns: Sequence[int],
    filters: Sequence[Tuple[int, str, Sequence[Union[bytes, int, float]]]],
    batch_rows: int,
) -> object: ...
def stream(scan: object) -> object: ...
def scan_stats(scan: object) -> Dict[str, int]: ...
def select_chunks(scan: object, chunks: Sequence[int]) -> None: ...
def matching_chunks(
    file: object, filters: Sequence[Tuple[int, str, Sequence[Union[bytes, int, float]]]]
) -> List[int]: ...
def convert(
    csv_path: str,
    varn_path: str,
    types: Sequence[Tuple[str, str]],
    encrypt: Optional[Sequence[str]],
    key: Optional[bytes],
    progress: Optional[Callable[[int, int], Any]],
    report: bool,
    threads: Optional[int],
    plain: bool,
    delimiter: int,
    infer: bool,
    lossy: bool,
    drop_extra_fields: bool,
    encoding: str,
    skip_lines: int,
    comment: int,
    level: str,
) -> Tuple[int, int, float]: ...
