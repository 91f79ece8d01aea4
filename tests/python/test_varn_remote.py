"""Files in object storage: a real S3-compatible server on the loopback
address (moto, started and stopped here) with s3fs, and fsspec's memory
file system for the fast cases. A counting wrapper around the file system
counts the rounds of requests (cat_ranges calls), the requests (ranges) and
the bytes a read fetches."""
import gzip
import os
import subprocess
import sys

import pytest

import varn

fsspec = pytest.importorskip("fsspec")
pa = pytest.importorskip("pyarrow")

SECRET = "s3cr3t-n0t-f0r-m3ss4g3s"
CHUNK = 65536
CHUNKS = 10


class Counting:
    """Delegates to `fs`, recording every cat_ranges call's ranges and sizes."""

    def __init__(self, fs):
        self.fs = fs
        self.calls = []

    def cat_ranges(self, paths, starts, ends, **kw):
        parts = self.fs.cat_ranges(paths, starts, ends, **kw)
        self.calls.append([len(p) for p in parts if isinstance(p, bytes)])
        return parts

    @property
    def rounds(self):
        return len(self.calls)

    @property
    def requests(self):
        return sum(len(c) for c in self.calls)

    @property
    def fetched(self):
        return sum(sum(c) for c in self.calls)

    def __getattr__(self, name):
        return getattr(self.fs, name)


@pytest.fixture(scope="module")
def ten_chunks(tmp_path_factory):
    """A local file of 10 chunks: id (0, 1, ...) and v (scattered ints), a few MB."""
    d = tmp_path_factory.mktemp("remote")
    csv = d / "ten.csv"
    with open(csv, "w") as out:
        out.write("id,v\n")
        out.writelines(f"{i},{(i * 2654435761) % 2**31}\n" for i in range(CHUNKS * CHUNK))
    path = str(d / "ten.varn")
    varn.convert(str(csv), path, report=False)
    return path, str(csv)


@pytest.fixture
def memfs():
    fs = fsspec.filesystem("memory")
    yield fs
    fs.store.clear()
    fs.pseudo_dirs[:] = [""]


@pytest.fixture(scope="module")
def moto_endpoint():
    pytest.importorskip("s3fs")
    server_mod = pytest.importorskip("moto.server")
    server = server_mod.ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
    server.start()
    host, port = server.get_host_and_port()
    yield f"http://{host}:{port}"
    server.stop()


@pytest.fixture
def s3(moto_endpoint, monkeypatch):
    """storage_options for the local server, with one empty bucket."""
    import requests
    import s3fs

    # Nothing may look for credentials or a region anywhere else.
    monkeypatch.setenv("AWS_EC2_METADATA_DISABLED", "true")
    monkeypatch.setenv("AWS_DEFAULT_REGION", "us-east-1")
    for name in ("AWS_PROFILE", "AWS_CONFIG_FILE", "AWS_SHARED_CREDENTIALS_FILE"):
        monkeypatch.delenv(name, raising=False)
    requests.post(f"{moto_endpoint}/moto-api/reset", timeout=10)
    options = {
        "key": "testing",
        "secret": SECRET,
        "client_kwargs": {"endpoint_url": moto_endpoint},
        "skip_instance_cache": True,
        "use_listings_cache": False,
    }
    fs = s3fs.S3FileSystem(**options)
    fs.mkdir("bucket")
    return options, fs


def local_table(path, **kw):
    return varn.read_arrow(path, **kw)


def test_open_costs_one_round_and_reads_equal_local(memfs, ten_chunks):
    path, _ = ten_chunks
    memfs.put(path, "/b/ten.varn")
    fs = Counting(memfs)
    f = varn.open("memory://b/ten.varn", filesystem=fs)
    assert (fs.rounds, fs.requests) == (1, 2)
    assert (f.num_rows, f.num_chunks, f.schema) == (CHUNKS * CHUNK, CHUNKS, varn.open(path).schema)
    assert pa.table(f.read()).equals(local_table(path))
    # A whole read: a round per window of chunks, never one per record.
    assert fs.rounds <= 1 + CHUNKS // 2


def test_max_memory_holds_for_a_url_as_for_a_path(memfs, ten_chunks):
    """A chunk of the two int columns decodes to about 2 MiB: a budget of
    256 KiB refuses it for a URL as for a path, the default reads it."""
    path, _ = ten_chunks
    memfs.put(path, "/b/ten.varn")
    url = "memory://b/ten.varn"
    budget = "more than the memory budget of 262144 bytes; a larger budget is max_memory="
    with pytest.raises(varn.VarnError, match=budget):
        varn.read_arrow(path, max_memory=256 << 10)
    with pytest.raises(varn.VarnError, match=budget):
        varn.read_arrow(url, max_memory=256 << 10)
    with varn.open(url, max_memory=256 << 10) as f:
        with pytest.raises(varn.VarnError, match=budget):
            f.read().read_arrow()
    if sys.version_info >= (3, 9):
        pytest.importorskip("pandas")
        with pytest.raises(varn.VarnError, match=budget):
            varn.read_pandas(url, max_memory=256 << 10)
    assert varn.read_arrow(url).num_rows == CHUNKS * CHUNK


def test_an_index_larger_than_the_tail_costs_a_second_round(memfs, ten_chunks, monkeypatch):
    from varn import _remote

    path, _ = ten_chunks
    memfs.put(path, "/b/ten.varn")
    monkeypatch.setattr(_remote, "TAIL_BYTES", 64)
    fs = Counting(memfs)
    f = varn.open("memory://b/ten.varn", filesystem=fs)
    assert fs.rounds == 2
    assert pa.table(f.read(filters=[("id", "<", 10)])).equals(local_table(path, filters=[("id", "<", 10)]))


def test_s3_read_equals_local_and_a_filter_fetches_one_chunk(s3, ten_chunks):
    options, fs = s3
    path, _ = ten_chunks
    fs.put(path, "bucket/ten.varn")
    url = "s3://bucket/ten.varn"
    assert varn.read_pandas(url, storage_options=options).equals(varn.read_pandas(path))

    filters = [("id", ">=", 5 * CHUNK), ("id", "<", 6 * CHUNK)]
    counting = Counting(fs)
    got = varn.read_arrow(url, columns=["v"], filters=filters, filesystem=counting)
    assert got.equals(local_table(path, columns=["v"], filters=filters))
    assert got.num_rows == CHUNK
    size = os.path.getsize(path)
    assert counting.requests <= 3, counting.calls
    assert counting.fetched < 0.2 * size, (counting.fetched, size)


def test_convert_s3_to_s3_equals_local(s3, ten_chunks, tmp_path):
    options, fs = s3
    _, csv = ten_chunks
    local = str(tmp_path / "local.varn")
    want = varn.convert(csv, local, report=False)
    gz = tmp_path / "in.csv.gz"
    gz.write_bytes(gzip.compress(open(csv, "rb").read(), compresslevel=1))
    fs.put(csv, "bucket/in/ten.csv")
    fs.put(str(gz), "bucket/in/ten.csv.gz")
    expected = open(local, "rb").read()
    for name in ("ten.csv", "ten.csv.gz"):
        got = varn.convert(f"s3://bucket/in/{name}", f"s3://bucket/out/{name}.varn", report=False,
                           storage_options=options)
        data = fs.cat_file(f"bucket/out/{name}.varn")
        assert got[1] == want[1] == len(data)
        # The same bytes but for the creation time (offsets 24..31).
        assert data[:24] + data[32:] == expected[:24] + expected[32:], name


class FailingPut(Counting):
    """Writes half the file, then fails, as a dropped connection would."""

    def put(self, lpath, rpath, **kw):
        data = open(lpath, "rb").read()
        with self.fs.open(rpath, "wb") as out:
            out.write(data[: len(data) // 2])
        raise ConnectionError("connection reset by peer")


def test_a_failed_upload_leaves_nothing(memfs, s3, write_csv, tmp_path):
    csv = write_csv("a,b\n1,x\n2,y\n")
    before = set(os.listdir(tmp_path))
    with pytest.raises(OSError, match="memory://b/out.varn: the upload failed"):
        varn.convert(csv, "memory://b/out.varn", report=False, filesystem=FailingPut(memfs))
    assert not memfs.exists("/b/out.varn")
    # A bucket that does not exist: nothing is written, and the error says so.
    options, fs = s3
    with pytest.raises(OSError) as info:
        varn.convert(csv, "s3://no-such-bucket/out.varn", report=False, storage_options=options)
    assert "s3://no-such-bucket/out.varn" in str(info.value) and SECRET not in str(info.value)
    assert not fs.exists("no-such-bucket/out.varn")
    import tempfile

    assert not [n for n in os.listdir(tempfile.gettempdir()) if n.startswith(".varn-upload.")
                and os.stat(os.path.join(tempfile.gettempdir(), n)).st_uid == os.getuid()
                and n not in before]


class FailingReads(Counting):
    """Fails every cat_ranges call after the first `ok` ones."""

    def __init__(self, fs, ok):
        super().__init__(fs)
        self.ok = ok

    def cat_ranges(self, paths, starts, ends, **kw):
        if self.rounds >= self.ok:
            self.calls.append([])
            raise ConnectionError("connection reset by peer")
        return super().cat_ranges(paths, starts, ends, **kw)


def test_errors_name_the_url_and_range_and_hide_credentials(memfs, s3, ten_chunks):
    path, _ = ten_chunks
    memfs.put(path, "/b/ten.varn")
    with pytest.raises(FileNotFoundError, match="memory://b/none.varn"):
        varn.open("memory://b/none.varn")
    options, fs = s3
    with pytest.raises(FileNotFoundError, match="s3://bucket/none.varn") as info:
        varn.open("s3://bucket/none.varn", storage_options=options)
    assert SECRET not in str(info.value)
    f = varn.open("memory://b/ten.varn", filesystem=FailingReads(memfs, 1))
    with pytest.raises(OSError, match=r"memory://b/ten\.varn: bytes \d+-\d+.*connection reset"):
        pa.table(f.read(columns=["v"]))
    # read_arrow keeps it an OSError: the file is not damaged.
    with pytest.raises(OSError, match=r"memory://b/ten\.varn: bytes \d+-\d+.*connection reset") as info:
        varn.read_arrow("memory://b/ten.varn", filesystem=FailingReads(memfs, 1))
    assert not isinstance(info.value, varn.VarnError)
    # No credentials in a handle's repr, nor in a URL's user part.
    fs.put(path, "bucket/ten.varn")
    g = varn.open("s3://bucket/ten.varn", storage_options=options)
    assert SECRET not in repr(g) and SECRET not in repr(g.read())
    with pytest.raises(FileNotFoundError) as info:
        varn.open(f"memory://user:{SECRET}@b/none.varn")
    assert SECRET not in str(info.value)


def test_storage_options_need_a_url(tmp_path):
    with pytest.raises(ValueError, match="URLs only"):
        varn.open(str(tmp_path / "x.varn"), storage_options={"anon": True})


def test_missing_fsspec_names_the_extra_and_local_reads_never_import_it(tmp_path, write_csv):
    csv = write_csv("a\n1\n")
    out = str(tmp_path / "a.varn")
    code = (
        "import sys, varn\n"
        f"varn.convert({csv!r}, {out!r}, report=False)\n"
        f"with varn.open({out!r}) as f: f.read()\n"
        "assert 'fsspec' not in sys.modules, 'fsspec imported for a local path'\n"
        "sys.modules['fsspec'] = None\n"
        "try:\n"
        "    varn.open('s3://b/x.varn')\n"
        "except ImportError as e:\n"
        "    print(e)\n"
    )
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    assert "pip install 'varn_fileformat[remote]'" in r.stdout


def test_dask_convert_and_read_on_s3(s3, tmp_path):
    """varn.dask on a 2-process cluster: CSVs converted from s3:// to s3://,
    then read back with a filter, equal to the local results; the
    credentials appear in no graph, task or log."""
    distributed = pytest.importorskip("distributed")
    vd = pytest.importorskip("varn.dask")
    options, fs = s3
    local_in = tmp_path / "in"
    local_in.mkdir()
    for day in range(3):
        rows = "".join(f"{day * 100 + i},{'ab'[i % 2]}{i}\n" for i in range(100))
        (local_in / f"day{day}.csv").write_text("id,s\n" + rows)
        fs.put(str(local_in / f"day{day}.csv"), f"bucket/in/day{day}.csv")
    local_out = tmp_path / "out"
    cluster = distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                                       dashboard_address=None)
    try:
        with distributed.Client(cluster, timeout="60s") as client:
            done = vd.convert("s3://bucket/in/*.csv", "s3://bucket/out/", client=client,
                              storage_options=options)
            assert [r[1] for r in done] == [f"s3://bucket/out/day{d}.varn" for d in range(3)]
            vd.convert(str(local_in), str(local_out), client=client)
            filters = [("id", ">=", 150), ("s", "!=", "a60")]
            ddf = vd.read_varn("s3://bucket/out/", filters=filters, storage_options=options)
            want = vd.read_varn(str(local_out), filters=filters).compute().reset_index(drop=True)
            got = ddf.compute().reset_index(drop=True)
            assert got.equals(want) and len(got) == 148
            texts = [repr(ddf), repr(ddf.dask), str(dict(ddf.__dask_graph__()))]
            texts += [str(v) for v in client.get_worker_logs().values()]
            texts.append(str(client.get_scheduler_logs()))
            assert not [t for t in texts if SECRET in t]
    finally:
        cluster.close(timeout=30)
    for d in range(3):
        local = open(local_out / f"day{d}.varn", "rb").read()
        remote = fs.cat_file(f"bucket/out/day{d}.varn")
        assert remote[:24] + remote[32:] == local[:24] + local[32:]


def test_polars_scan_reads_a_url(memfs, ten_chunks):
    pl = pytest.importorskip("polars")
    vp = pytest.importorskip("varn.polars")
    path, _ = ten_chunks
    memfs.put(path, "/b/ten.varn")
    fs = Counting(memfs)
    got = vp.scan_varn("memory://b/ten.varn", filesystem=fs).filter(pl.col("id") < 10).select("v").collect()
    assert got.equals(vp.scan_varn(path).filter(pl.col("id") < 10).select("v").collect())
    assert got.height == 10 and fs.rounds <= 2
