"""Files where users keep them: paths and URLs (memory:// for the quick cases, a real S3 server
for the rest), Parquet beside CSV with the same cells, the same predictions whichever format a
pipeline was fitted on, and storage failures in one line with nothing written."""

import csv
import os
import socket
import subprocess
import sys
import threading
import time
from importlib.util import find_spec

import numpy as np
import pytest

from tabrix_libs import cli, storage
from tabrix_libs.errors import InputError, StorageUnavailable
from tabrix_libs.tableio import PENGUINS, open_table

fsspec = pytest.importorskip("fsspec")
pd = pytest.importorskip("pandas")
pytest.importorskip("pyarrow")


def tool(*argv, env=None, timeout=300):
    """The command in a process of its own: (exit code, stdout, every line of stderr)."""
    res = subprocess.run(
        [sys.executable, "-m", "tabrix_libs", "--no-progress", *argv],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=dict(os.environ, **(env or {})),
    )
    return res.returncode, res.stdout, res.stderr.splitlines()


def errors_of(lines):
    return [line for line in lines if "warning:" not in line]


# --------------------------------------------------------------------------------------------
# memory:// and local paths


@pytest.fixture
def memory():
    fs = fsspec.filesystem("memory")
    fs.rm("/", recursive=True) if fs.ls("/") else None
    yield fs
    if fs.ls("/"):
        fs.rm("/", recursive=True)


def test_globs_and_folders_of_parts(memory, tmp_path):
    for name in ["b/p1.parquet", "b/p0.parquet", "b/_SUCCESS", "b/.hidden.parquet", "b/x/p2.csv"]:
        memory.pipe("/lake/" + name, b"x")
    assert storage.expand("memory://lake/b/*.parquet") == [
        "memory:///lake/b/p0.parquet",
        "memory:///lake/b/p1.parquet",
    ]
    assert storage.expand("memory://lake/b") == [
        "memory:///lake/b/p0.parquet",
        "memory:///lake/b/p1.parquet",
        "memory:///lake/b/x/p2.csv",
    ]
    with pytest.raises(InputError, match="no file matches memory://lake/c/"):
        storage.expand("memory://lake/c/*.csv")
    (tmp_path / "_meta").mkdir()
    for name in ["p1.csv", "p0.csv", "_meta/p.csv", "notes.txt"]:
        (tmp_path / name).write_text("x")
    assert storage.expand("file://" + str(tmp_path)) == [
        str(tmp_path / "p0.csv"),
        str(tmp_path / "p1.csv"),
    ]


@pytest.mark.parametrize("where", ["memory", "local"])
def test_a_write_appears_whole_or_not_at_all(memory, tmp_path, where):
    path = "memory://out/t.csv" if where == "memory" else str(tmp_path / "t.csv")
    listing = (lambda: memory.find("/out")) if where == "memory" else (lambda: os.listdir(tmp_path))
    out = storage.AtomicFile(path)
    out.file.write(b"half")
    assert not storage.exists(path)
    out.abort()
    assert not listing()
    with storage.AtomicFile(path) as out:
        out.file.write(b"whole")
    assert storage.read_bytes(path) == b"whole" and len(listing()) == 1
    folder = storage.AtomicFolder(path[: -len("t.csv")] + "parts/")
    storage.write_part(folder.part("part-0.csv"), b"p")
    folder.abort()
    assert len(listing()) == 1


def test_what_cannot_be_reached_is_one_line(monkeypatch):
    monkeypatch.setitem(sys.modules, "gcsfs", None)
    with pytest.raises(InputError, match=r"gs://b/t.csv needs gcsfs: pip install gcsfs"):
        storage.size("gs://b/t.csv")
    with pytest.raises(InputError, match=r"cannot write https://h/t.csv: https:// is read-only"):
        storage.AtomicFile("https://h/t.csv")
    monkeypatch.setitem(sys.modules, "fsspec", None)
    with pytest.raises(InputError, match=r"needs fsspec: pip install 'tabrix-libs\[storage\]'"):
        storage.size("s3://b/t.csv")


# --------------------------------------------------------------------------------------------
# Parquet: the cells are the text of the same table's CSV


def mixed_frame(n=12):
    rng = np.random.RandomState(0)
    frame = pd.DataFrame(
        {
            "text": ["a,b", 'say "hi"', None, "héllo", ""] * (n // 5) + ["z"] * (n % 5),
            "floats": rng.normal(size=n) * 10.0 ** rng.randint(-6, 18, n),
            "ints": rng.randint(-(10**12), 10**12, n),
            "flags": rng.rand(n) < 0.5,
            "category": pd.Categorical(list("xyzx" * n)[:n]),
            "day": pd.to_datetime("2021-03-04") + pd.to_timedelta(rng.randint(0, 900, n), "D"),
            "when": pd.to_datetime("2021-03-04 05:06:07")
            + pd.to_timedelta(rng.randint(0, 10**6, n), "s"),
        }
    )
    frame.loc[3, "floats"] = np.nan
    frame.loc[4, "floats"] = 3.0
    frame["small"] = frame["floats"].astype(np.float32)
    frame["counts"] = pd.array([None if i % 4 == 1 else i * 7 for i in range(n)], dtype="Int64")
    frame["dates"] = [d.date() if i % 5 else None for i, d in enumerate(frame["day"])]
    frame["zoned"] = frame["when"].dt.tz_localize("Europe/Paris")
    frame["exact"] = frame["when"] + pd.to_timedelta(np.arange(n) * 1500 + 1, "us")
    return frame


@pytest.mark.parametrize("block_rows", [None, 5])
def test_parquet_cells_are_the_text_of_the_csv_pandas_writes(tmp_path, block_rows):
    frame = mixed_frame()
    frame.to_parquet(str(tmp_path / "t.parquet"), row_group_size=4)
    frame.to_csv(str(tmp_path / "t.csv"), index=False)
    with open(str(tmp_path / "t.csv"), newline="", encoding="utf-8") as f:
        rows = list(csv.reader(f))
    with open_table(str(tmp_path / "t.parquet")) as reader:
        assert reader.header == rows[0]
        got = np.concatenate(list(reader.blocks(block_rows))).tolist()
    assert got == rows[1:]


def penguins_frame():
    return pd.read_csv(PENGUINS)


def predictions(path, data=None):
    """The prediction column of an output file (or of its bytes)."""
    import io

    source = io.BytesIO(data) if data is not None else path
    if path.endswith(".parquet"):
        return pd.read_parquet(source)["prediction"].tolist()
    text = data.decode() if data is not None else open(path, encoding="utf-8").read()
    rows = list(csv.reader(io.StringIO(text, newline="")))
    return [r[rows[0].index("prediction")] for r in rows[1:]]


def test_fitted_on_one_format_applies_to_the_other(tmp_path):
    data_csv = str(tmp_path / "p.csv")
    data_parquet = str(tmp_path / "p.parquet")
    frame = penguins_frame()
    frame.to_csv(data_csv, index=False)
    frame.to_parquet(data_parquet, row_group_size=100)
    outs = {}
    for fitted_on in (data_csv, data_parquet):
        model = str(tmp_path / ("m%d.joblib" % len(outs)))
        assert (
            cli.main(["--no-progress", fitted_on, "--target", "species", "--save-pipeline", model])
            == 0
        )
        for applied_to in (data_csv, data_parquet):
            for suffix in (".csv", ".parquet"):
                out = str(tmp_path / ("o%d%s" % (len(outs), suffix)))
                argv = ["--no-progress", applied_to, "--apply", model, "--out", out, "--proba"]
                assert cli.main(argv) == 0
                outs[fitted_on, applied_to, suffix] = out
    seen = {tuple(predictions(o)) for o in outs.values()}
    assert len(seen) == 1
    # A Parquet output keeps the input's columns and types, and adds the same predictions.
    out = pd.read_parquet(outs[data_csv, data_parquet, ".parquet"])
    assert list(out.columns[: frame.shape[1]]) == list(frame.columns)
    assert out["bill_length_mm"].dtype == np.float64 and out["year"].dtype == np.int64
    from_csv = pd.read_csv(outs[data_csv, data_csv, ".csv"])
    proba = [c for c in out.columns if c.startswith("proba_")]
    assert proba and np.array_equal(out[proba].to_numpy(), from_csv[proba].to_numpy())


# --------------------------------------------------------------------------------------------
# A real S3 server


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_moto(env=None):
    """moto's standalone S3 server on 127.0.0.1: (process, endpoint URL)."""
    pytest.importorskip("moto.server")
    pytest.importorskip("s3fs")
    port = free_port()
    server = subprocess.Popen(
        [sys.executable, "-m", "moto.server", "-H", "127.0.0.1", "-p", str(port)],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
        env=dict(os.environ, **(env or {})),
    )
    for _ in range(300):
        try:
            socket.create_connection(("127.0.0.1", port), 0.2).close()
            break
        except OSError:
            time.sleep(0.1)
    return server, "http://127.0.0.1:%d" % port


S3_ENV = {
    "AWS_ACCESS_KEY_ID": "testing",
    "AWS_SECRET_ACCESS_KEY": "testing",
    "AWS_DEFAULT_REGION": "us-east-1",
    # One try per request: a storage that does not answer fails at once.
    "AWS_MAX_ATTEMPTS": "1",
}


@pytest.fixture(scope="module")
def s3():
    """The endpoint of an S3 server holding the bucket `lake` with the penguins as CSV and
    Parquet (whole and in three parts); s3fs reaches it through AWS_ENDPOINT_URL."""
    server, endpoint = start_moto()
    saved = {k: os.environ.get(k) for k in list(S3_ENV) + ["AWS_ENDPOINT_URL"]}
    os.environ.update(S3_ENV, AWS_ENDPOINT_URL=endpoint)
    try:
        fs = fsspec.filesystem("s3", skip_instance_cache=True)
        fs.mkdir("lake")
        frame = penguins_frame()
        fs.pipe("lake/in/p.csv", open(PENGUINS, "rb").read())
        fs.pipe("lake/in/p.parquet", frame.to_parquet(row_group_size=100))
        for k in range(3):
            fs.pipe("lake/parts/p%d.parquet" % k, frame.iloc[k * 120 : k * 120 + 120].to_parquet())
        yield endpoint
    finally:
        server.terminate()
        server.wait()
        for k, v in saved.items():
            if v is None:
                os.environ.pop(k, None)
            else:
                os.environ[k] = v


def s3fs_now():
    return fsspec.filesystem("s3", skip_instance_cache=True)


def test_fit_save_and_apply_all_on_s3(s3, tmp_path):
    model = "s3://lake/models/m.joblib"
    page = ["--report", "s3://lake/pages/fit.html"] if find_spec("matplotlib") else []
    code, out, err = tool(
        "s3://lake/in/p.csv", "--target", "species", "--save-pipeline", model, *page
    )
    assert code == 0 and "pipeline saved to %s" % model in out, err
    assert not page or s3fs_now().cat("lake/pages/fit.html").startswith(b"<!DOCTYPE html>")
    local_model = str(tmp_path / "m.joblib")
    with open(local_model, "wb") as f:
        f.write(s3fs_now().cat("lake/models/m.joblib"))
    expected = str(tmp_path / "one.csv")
    assert cli.main(["--no-progress", PENGUINS, "--apply", local_model, "--out", expected]) == 0
    for data, out_url in [
        ("s3://lake/in/p.csv", "s3://lake/out/a.csv"),
        ("s3://lake/in/p.parquet", "s3://lake/out/b.csv"),
    ]:
        code, _, err = tool(data, "--apply", model, "--out", out_url)
        assert code == 0 and len(errors_of(err)) == 2, err  # the rows written, the score
    fs = s3fs_now()
    assert fs.cat("lake/out/a.csv") == open(expected, "rb").read()
    assert predictions(expected) == predictions("b.csv", fs.cat("lake/out/b.csv"))
    assert sorted(fs.ls("lake/out")) == ["lake/out/a.csv", "lake/out/b.csv"]  # no temporary keys


def test_parquet_parts_on_s3_by_two_workers(s3, tmp_path):
    pytest.importorskip("distributed")
    model = str(tmp_path / "m.joblib")
    assert cli.main(["--no-progress", "--save-pipeline", model]) == 0
    one = str(tmp_path / "one.parquet")
    code, _, err = tool("s3://lake/parts/*.parquet", "--apply", model, "--out", one, "--proba")
    assert code == 0, err
    code, _, err = tool(
        "s3://lake/parts/*.parquet",
        "--apply",
        model,
        "--proba",
        "--dask",
        "local",
        "--workers",
        "2",
        "--out",
        "s3://lake/out2/all.parquet",
    )
    assert code == 0 and "3 files read in 3 blocks by 2 Dask workers" in "\n".join(err), err
    fs = s3fs_now()
    expected = pd.read_parquet(one)
    got = pd.read_parquet(fs.open("lake/out2/all.parquet"))
    pd.testing.assert_frame_equal(got, expected)
    code, _, err = tool(
        "s3://lake/parts/", "--apply", model, "--dask", "local", "--workers", "2",
        "--out", "s3://lake/out2/folder/", "--proba",
    )  # fmt: skip
    assert code == 0, err
    parts = sorted(fs.ls("lake/out2/folder"))
    assert parts == ["lake/out2/folder/part-%05d.parquet" % k for k in range(3)]
    joined = pd.concat([pd.read_parquet(fs.open(p)) for p in parts], ignore_index=True)
    pd.testing.assert_frame_equal(joined, expected)


class SilentServer:
    """A TCP server that accepts connections and never answers: a storage that times out."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.endpoint = "http://127.0.0.1:%d" % self.sock.getsockname()[1]
        self.held = []
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                self.held.append(self.sock.accept()[0])
            except OSError:
                return


def test_storage_failures_are_one_line_and_write_nothing(s3, tmp_path):
    model = str(tmp_path / "m.joblib")
    assert cli.main(["--no-progress", "--save-pipeline", model]) == 0
    rows = open(PENGUINS).read().splitlines()
    bad = "\n".join(rows + [rows[1].replace("39.1", "inf")]) + "\n"
    s3fs_now().pipe("lake/in/bad.csv", bad.encode())
    denied, denied_endpoint = start_moto({"INITIAL_NO_AUTH_ACTION_COUNT": "0"})
    silent = SilentServer()
    closed = "http://127.0.0.1:%d" % free_port()
    timeouts = '{"config_kwargs": {"connect_timeout": 1, "read_timeout": 1}}'
    cases = [
        (["s3://nobucket/p.csv"], {}, 2, "cannot read s3://nobucket/p.csv: no such bucket"),
        (["s3://lake/in/none.csv"], {}, 2, "cannot read s3://lake/in/none.csv: no such file"),
        (["s3://lake/in/p.csv"], {"AWS_ENDPOINT_URL": denied_endpoint}, 2, "access denied"),
        (["s3://lake/in/p.csv"], {"AWS_ENDPOINT_URL": closed}, 1, "the storage does not answer"),
        (
            ["s3://lake/in/p.csv", "--storage-options", timeouts],
            {"AWS_ENDPOINT_URL": silent.endpoint},
            1,
            "the storage does not answer",
        ),
        (["s3://lake/in/bad.csv"], {}, 2, "bad.csv, data row"),
        (
            ["s3://lake/in/p.csv", "--storage-options", '{"no_such_option": 1}'],
            {},
            2,
            "--storage-options for s3://lake/in/p.csv: ",
        ),
    ]
    try:
        for argv, env, want, message in cases:
            code, out, err = tool(*argv, "--apply", model, "--out", "s3://lake/out3/p.csv", env=env)
            lines = errors_of(err)
            assert code == want and len(lines) == 1 and message in lines[0], (argv, env, err)
            assert out == ""
    finally:
        denied.terminate()
    assert not s3fs_now().exists("lake/out3")


@pytest.mark.parametrize("where", ["local", "s3"])
def test_a_value_the_model_cannot_take_names_its_column_and_row(tmp_path, where, request):
    rows = ["name,value,kind"] + ["c%d,%d.5,%s" % (i, i, "ab"[i % 2]) for i in range(120)]
    rows[95] = "c94,1.356392489e+50,a"
    data = str(tmp_path / "constants.csv")
    if where == "s3":
        request.getfixturevalue("s3")
        s3fs_now().pipe("lake/in/constants.csv", ("\n".join(rows) + "\n").encode())
        data = "s3://lake/in/constants.csv"
    else:
        with open(data, "w") as f:
            f.write("\n".join(rows) + "\n")
    code, _, err = tool(data, "--target", "kind")
    assert code == 2 and len(err) == 1, err
    assert "constants.csv, data row 95, column 'value': 1.356392489e+50 is beyond" in err[0]


def test_storage_unavailable_maps_to_exit_1():
    class EndpointConnectionError(Exception):
        pass

    assert isinstance(storage.failure(EndpointConnectionError("x"), "s3://b/k"), StorageUnavailable)
    assert isinstance(storage.failure(PermissionError("x"), "s3://b/k"), InputError)


def test_a_sample_of_a_parquet_file_is_that_of_its_csv(tmp_path):
    frame = penguins_frame()
    frame.to_csv(str(tmp_path / "p.csv"), index=False)
    frame.to_parquet(str(tmp_path / "p.parquet"), row_group_size=50)
    lines = []
    for name in ("p.csv", "p.parquet"):
        code, out, err = tool(
            str(tmp_path / name), "--target", "species", "--sample-rows", "150", "--seed", "3"
        )
        assert code == 0, err
        lines.append([line for line in out.splitlines() if line.startswith(("sample", "held"))])
    assert lines[0] == lines[1] and len(lines[0]) == 2
