"""PyVarnReader.get_compression_stats: the percentage of space the block
compression saved over a file's column records, checked against block sizes
decoded here by an independent reference decoder of the block format."""
import random
import struct

import pytest

import varn_fileformat as vf

LABEL = "VARN v1.1.2"


# --- reference block decoder (slow and simple) -------------------------------


def lz_decoded_size(stream):
    size = i = 0
    while i < len(stream):
        if stream[i] != 0xFF:
            size += 1
            i += 1
            continue
        _distance, length = struct.unpack_from("<HH", stream, i + 1)
        size += length  # the escaped 0xFF is a copy of length 1
        i += 5
    return size


def huffman_decode(block):
    lengths = [0] * 256
    if block[0] == 0xFF:
        p = 2
        for _ in range(block[1]):
            lengths[block[p]] = block[p + 1]
            p += 2
    else:
        lengths = list(block[1:257])
        p = 257
    (n,) = struct.unpack_from("<I", block, p)
    p += 4
    codes = {}
    code = prev = 0
    for k, (length, symbol) in enumerate(sorted((l, s) for s, l in enumerate(lengths) if l)):
        if k:
            code = (code + 1) << (length - prev)
        codes[(length, code)] = symbol
        prev = length
    out = bytearray()
    bits = acc = 0
    for _ in range(n):
        length = value = 0
        while (length, value) not in codes:
            if bits == 0:
                acc, bits = block[p], 8
                p += 1
            bits -= 1
            value = value << 1 | (acc >> bits) & 1
            length += 1
        out.append(codes[(length, value)])
    return bytes(out)


def range_decode(block):
    (count,) = struct.unpack_from("<H", block, 0)
    freq, p = {}, 2
    for _ in range(count):
        freq[block[p]] = struct.unpack_from("<H", block, p + 1)[0]
        p += 3
    (n,) = struct.unpack_from("<I", block, p)
    p += 4
    if count == 1:
        return bytes(freq) * n
    cum, slot, total = {}, bytearray(16384), 0
    for s in sorted(freq):
        cum[s] = total
        slot[total:total + freq[s]] = bytes([s]) * freq[s]
        total += freq[s]
    code = int.from_bytes(block[p:p + 4], "big")
    p += 4
    width = 0xFFFFFFFF
    out = bytearray()
    for _ in range(n):
        r = width >> 14
        s = slot[code // r]
        out.append(s)
        code -= cum[s] * r
        width = freq[s] * r
        while width < 1 << 16:
            code = (code << 8 | block[p]) & 0xFFFFFFFF
            width <<= 8
            p += 1
    return bytes(out)


def decoded_size(block):
    if not block:
        return 0
    tag, payload = block[0], block[1:]
    return {
        0: lambda: lz_decoded_size(payload),
        1: lambda: lz_decoded_size(huffman_decode(payload)),
        2: lambda: len(payload),
        3: lambda: len(huffman_decode(payload)),
        4: lambda: len(range_decode(payload)),
        5: lambda: lz_decoded_size(range_decode(payload)),
    }[tag]()


def expected_saved(f):
    records = f.records()
    if not records:
        return 0.0, set()
    decoded = sum(decoded_size(block) for _, _, block in records)
    compressed = sum(len(block) for _, _, block in records)
    return (decoded - compressed) / decoded * 100.0, {block[0] for _, _, block in records if block}


# --- inputs --------------------------------------------------------------------


def tiny():
    return "a,b\nx,yy\n"


def words():
    rng = random.Random(3)
    vocab = ["alpha", "beta", "gamma", "delta", "epsilon"]
    return "id,word,note\n" + "".join(
        f"{i},{rng.choice(vocab)},{rng.choice(vocab)} {rng.randint(0, 9)}\n" for i in range(20000))


def skewed():
    # Long runs of one byte with rare others: the order-0 coders beat LZ.
    rng = random.Random(5)
    return "s\n" + "".join(
        "".join("a" if rng.random() < 0.97 else rng.choice("bcdefghij") for _ in range(30)) + "\n"
        for _ in range(3000))


def noise():
    rng = random.Random(9)
    return "h\n" + "".join("".join(rng.choice("0123456789abcdef") for _ in range(64)) + "\n"
                           for _ in range(2000))


def letters():
    # Uniform over 50 letters: no repeats for LZ, and a Huffman code wastes a
    # fraction of a bit per byte that the range coder does not.
    rng = random.Random(11)
    alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwx"
    return "r\n" + "".join("".join(rng.choice(alphabet) for _ in range(60)) + "\n" for _ in range(2000))


INPUTS = [tiny, words, skewed, noise, letters]


@pytest.mark.parametrize("make", INPUTS)
def test_saved_percent_matches_the_blocks(write_csv, tmp_path, read_varn, make):
    out = str(tmp_path / "f.varn")
    vf.compress_csv(write_csv(make()), out)
    want, _tags = expected_saved(read_varn(out))
    got = vf.PyVarnReader(out).get_compression_stats()
    assert got == (pytest.approx(want, rel=1e-12, abs=1e-12), LABEL)
    assert isinstance(got[0], float)


def test_the_inputs_reach_every_coder(write_csv, tmp_path, read_varn):
    # Guards the test above: between them the inputs use stored blocks, LZ
    # with Huffman, Huffman alone and the range coder, so the reference
    # decoder is exercised on each.
    tags = set()
    for k, make in enumerate(INPUTS):
        out = str(tmp_path / f"{k}.varn")
        vf.compress_csv(write_csv(make()), out)
        tags |= expected_saved(read_varn(out))[1]
    assert {1, 2, 3} <= tags and tags & {4, 5}


def test_file_without_records(write_csv, tmp_path):
    out = str(tmp_path / "empty.varn")
    vf.compress_csv(write_csv("a,b,c\n"), out)
    assert vf.PyVarnReader(out).get_compression_stats() == (0.0, LABEL)


def test_open_errors_are_those_of_read_file(tmp_path):
    reader = vf.PyVarnReader(str(tmp_path / "missing.varn"))
    with pytest.raises(OSError) as stats_error:
        reader.get_compression_stats()
    with pytest.raises(OSError) as read_error:
        reader.read_file()
    assert type(stats_error.value) is OSError
    assert stats_error.value.args == read_error.value.args
    assert stats_error.value.args[0].startswith("Failed to open file: ")


def _damaged(data, read_varn_file):
    f = read_varn_file
    record = f.records()[0][0]
    flipped = bytearray(data)
    flipped[record + 12] ^= 0x01
    return {
        "empty": (b"", "header at offset 0: the file holds 0 bytes"),
        "text": (b"not a varn file at all\n" * 10, "header at offset 0: not a VARN file"),
        "truncated": (data[:-5], "trailer at offset"),
        "record": (bytes(flipped), f"chunk 0, column 0 'a', record at offset {record}: CRC-32 mismatch"),
    }


def test_invalid_files_raise_value_error(write_csv, tmp_path, read_varn):
    good = str(tmp_path / "good.varn")
    vf.compress_csv(write_csv("a,b\n1,2\n3,4\n"), good)
    data = open(good, "rb").read()
    for name, (content, why) in _damaged(data, read_varn(good)).items():
        path = tmp_path / f"{name}.varn"
        path.write_bytes(content)
        with pytest.raises(ValueError) as info:
            vf.PyVarnReader(str(path)).get_compression_stats()
        (message,) = info.value.args
        assert message.startswith(f"Not a valid VARN v2 file: {path}: "), message
        assert why in message, name
    with pytest.raises(ValueError) as info:
        vf.PyVarnReader(str(tmp_path)).get_compression_stats()
    assert info.value.args[0] == f"Not a valid VARN v2 file: {tmp_path}: not a regular file"
