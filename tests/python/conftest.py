import os
import struct
import zlib

import pytest


@pytest.fixture
def write_csv(tmp_path):
    """Writes bytes (or text, as UTF-8) to a fresh CSV file and returns its path as str."""
    counter = [0]

    def make(content, name=None):
        counter[0] += 1
        path = tmp_path / (name or f"input{counter[0]}.csv")
        data = content.encode("utf-8") if isinstance(content, str) else content
        path.write_bytes(data)
        return str(path)

    return make


class VarnFile:
    """The parts of a VARN v2 file that can be read without decoding blocks."""

    def __init__(self, data: bytes):
        self.data = data
        self.magic = data[0:4]
        self.version, self.columns = struct.unpack_from("<HH", data, 4)
        self.total_rows, self.chunk_count, self.chunk_size, self.created = struct.unpack_from(
            "<QIIQ", data, 8
        )
        self.reserved = data[32:64]
        (self.schema_len,) = struct.unpack_from("<I", data, 64)
        self.schema_block = data[68 : 68 + self.schema_len]
        (self.dict_len,) = struct.unpack_from("<Q", data, 68 + self.schema_len)
        p = 76 + self.schema_len
        self.dict_block = data[p : p + self.dict_len]
        self.records_start = p + self.dict_len
        self.index_len, self.index_offset = struct.unpack_from("<QQ", data, len(data) - 16)

    def records(self):
        """Walks the column records between the dictionary block and the index block."""
        out = []
        p = self.records_start
        while p < self.index_offset:
            crc, length = struct.unpack_from("<IQ", self.data, p)
            block = self.data[p + 12 : p + 12 + length]
            out.append((p, crc, block))
            p += 12 + length
        assert p == self.index_offset
        return out


@pytest.fixture
def read_varn():
    def read(path):
        with open(path, "rb") as f:
            return VarnFile(f.read())

    return read


def crc32(block: bytes) -> int:
    return zlib.crc32(block) & 0xFFFFFFFF
