"""`tabrix-libs --apply --dask`: the files read in blocks by the workers of a local cluster, with
output byte for byte that of one process, and failures reported in one line."""

import csv
import os
import random
import signal
import socket
import subprocess
import sys
import time

import pytest

from tabrix_libs import cli, cluster
from tabrix_libs import saved as saving

distributed = pytest.importorskip("distributed")


@pytest.fixture(scope="module")
def scheduler():
    """The address of a local cluster of two worker processes, shared by the module. A block
    that kills its worker is given up after one more try."""
    import dask

    with dask.config.set({"distributed.scheduler.allowed-failures": 1}):
        local = distributed.LocalCluster(
            n_workers=2,
            threads_per_worker=1,
            processes=True,
            dashboard_address=None,
            silence_logs=40,
        )
    with local:
        yield local.scheduler_address


@pytest.fixture(scope="module")
def saved_path(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("model") / "penguins.joblib")
    assert cli.main(["--no-progress", "--save-pipeline", path]) == 0
    return path


def penguins():
    with open(cli.DEFAULT_DATA, newline="", encoding="utf-8") as f:
        rows = list(csv.reader(f))
    return rows[0], rows[1:]


def write(path, header, rows, lineterminator="\r\n"):
    # Every field quoted: a writer before Python 3.13 leaves a lone "\r" unquoted when it is not
    # part of the line terminator.
    with open(str(path), "w", newline="", encoding="utf-8") as f:
        w = csv.writer(f, lineterminator=lineterminator, quoting=csv.QUOTE_ALL)
        w.writerows([header] + rows)
    return str(path)


def shuffled_table(times=8, seed=1):
    """The penguins repeated and shuffled, columns in another order, some islands with commas,
    quotes and line breaks inside quoted fields."""
    header, rows = penguins()
    rng = random.Random(seed)
    rows = [list(r) for r in rows * times]
    rng.shuffle(rows)
    order = list(range(len(header)))
    rng.shuffle(order)
    odd = ["Bis,coe", 'Dream "of"\nland', "Torg\r\nersen", "x\ry"]
    for r in rows[::7]:
        r[1] = rng.choice(odd)
    return [header[j] for j in order], [[r[j] for j in order] for r in rows]


def one_process(data, saved_path, out, *extra):
    assert cli.main(["--no-progress", data, "--apply", saved_path, "--out", out, *extra]) == 0
    with open(out, "rb") as f:
        return f.read()


def on_dask(capsys, scheduler, data, saved_path, *extra):
    code = cli.main(["--no-progress", data, "--apply", saved_path, "--dask", scheduler, *extra])
    captured = capsys.readouterr()
    return code, captured.out, captured.err


@pytest.mark.parametrize("block_size", [997, 16384, None])
def test_output_is_byte_for_byte_that_of_one_process(
    tmp_path, capsys, scheduler, saved_path, block_size
):
    data = write(tmp_path / "new.csv", *shuffled_table())
    expected = one_process(data, saved_path, str(tmp_path / "one.csv"), "--proba")
    out = str(tmp_path / "dask.csv")
    sizes = [] if block_size is None else ["--block-size", str(block_size)]
    code, _, err = on_dask(capsys, scheduler, data, saved_path, "--proba", "--out", out, *sizes)
    assert code == 0, err
    assert open(out, "rb").read() == expected
    assert "accuracy on the target column 'species', 2752 rows" in err


def test_several_files_by_glob_to_stdout_and_to_a_folder(tmp_path, capsys, scheduler, saved_path):
    header, rows = shuffled_table(times=3, seed=2)
    parts = tmp_path / "parts"
    parts.mkdir()
    for k in range(3):
        write(parts / ("p%d.csv" % k), header, rows[k::3], lineterminator="\n")
    pattern = str(parts / "*.csv")
    expected = one_process(pattern, saved_path, str(tmp_path / "one.csv"))
    code, out, err = on_dask(capsys, scheduler, pattern, saved_path, "--block-size", "3000")
    assert code == 0, err
    assert out.encode() == expected
    assert "3 files read in" in err
    folder = str(tmp_path / "folder") + os.sep
    code, _, err = on_dask(capsys, scheduler, pattern, saved_path, "--out", folder)
    assert code == 0, err
    names = sorted(os.listdir(folder))
    assert names == ["part-%05d.csv" % k for k in range(len(names))] and len(names) >= 3
    texts = [open(os.path.join(folder, n), "rb").read() for n in names]
    head = expected.split(b"\n", 1)[0] + b"\n"
    assert all(t.startswith(head) for t in texts)
    assert head + b"".join(t[len(head) :] for t in texts) == expected


def bool_model(tmp_path):
    header = ["flag", "size", "label"]
    rows = [["true" if i % 2 else "false", str(i), "ab"[i % 3 == 0]] for i in range(40)]
    path = str(tmp_path / "flags.joblib")
    data = write(tmp_path / "flags.csv", header, rows)
    assert cli.main(["--no-progress", data, "--save-pipeline", path]) == 0
    return path, header, rows


def test_bad_input_gives_one_line_exit_2_and_writes_nothing(
    tmp_path, capsys, scheduler, saved_path
):
    out = str(tmp_path / "pred.csv")
    header, rows = penguins()
    flag_model, flag_header, flag_rows = bool_model(tmp_path)
    capsys.readouterr()
    flag_rows = flag_rows * 50
    flag_rows[-1] = ["maybe", "1", "a"]  # in the last block
    not_ours = str(tmp_path / "list.joblib")
    import joblib

    joblib.dump([1, 2], not_ours)
    broken = [r[:] for r in rows]
    cases = {
        "a bad value in the last block": (
            write(tmp_path / "bad.csv", flag_header, flag_rows),
            flag_model,
            "bad.csv, data rows",
        ),
        "a missing column": (
            write(tmp_path / "missing.csv", header[:-1], [r[:-1] for r in rows]),
            saved_path,
            "missing column 'year'",
        ),
        "a saved file that is not ours": (
            write(tmp_path / "ok.csv", header, rows),
            not_ours,
            "not a pipeline saved by tabrix-libs",
        ),
    }
    path = write(tmp_path / "broken.csv", header, broken)
    with open(path, "a", newline="") as f:
        f.write('Adelie,"Torgersen"x,1,2,3,4,male,2007\r\n' + "Adelie,Dream,1,2,3,4,male,2007\r\n")
    cases["broken quoting"] = (path, saved_path, "line 346: not valid CSV")
    for what, (data, model, message) in cases.items():
        with open(out, "w") as f:
            f.write("keep me\n")
        code, stdout, err = on_dask(
            capsys, scheduler, data, model, "--out", out, "--block-size", "1000"
        )
        lines = [line for line in err.splitlines() if "warning" not in line]
        assert code == 2 and len(lines) == 1 and message in lines[0], (what, err)
        assert "Traceback" not in err and stdout == ""
        assert open(out).read() == "keep me\n", what
        assert not [n for n in os.listdir(str(tmp_path)) if n.startswith(".pred.csv")]


class _Client:
    """Answers client.run() as workers would."""

    def __init__(self, answers):
        self.answers = answers

    def run(self, function, *args, on_error="raise"):
        return self.answers


@pytest.mark.parametrize(
    "answer, message",
    [
        (ModuleNotFoundError("No module named 'tabrix_libs'"), "cannot import tabrix_libs"),
        ("0.0.1", "has tabrix_libs 0.0.1"),
    ],
)
def test_a_worker_without_the_package_is_named(answer, message):
    with pytest.raises(cluster.ClusterError, match=message) as e:
        cluster.check_workers(_Client({"tcp://w1:1": answer}))
    assert "tcp://w1:1" in str(e.value) and "\n" not in str(e.value)


def test_a_dask_frame_gets_the_same_predictions(tmp_path, scheduler, saved_path):
    dd = pytest.importorskip("dask.dataframe")
    data = write(tmp_path / "new.csv", *shuffled_table(times=2))
    expected = one_process(data, saved_path, str(tmp_path / "one.csv"))
    pipeline, record = saving.load(saved_path)
    frame = dd.read_csv(data, dtype=str, keep_default_na=False, blocksize=20000)
    with distributed.Client(scheduler):
        result = cluster.predict_frame(frame, pipeline, record).compute()
    with open(str(tmp_path / "one.csv"), newline="", encoding="utf-8") as f:
        predicted = [r[-1] for r in list(csv.reader(f))[1:]]
    assert expected and result["prediction"].tolist() == predicted


def test_the_command_starts_its_own_local_cluster(tmp_path, saved_path):
    data = write(tmp_path / "new.csv", *shuffled_table(times=4))
    expected = one_process(data, saved_path, str(tmp_path / "one.csv"))
    out = str(tmp_path / "dask.csv")
    res = subprocess.run(
        [sys.executable, "-m", "tabrix_libs", data, "--apply", saved_path, "--no-progress"]
        + ["--dask", "local", "--workers", "2", "--block-size", "20000", "--out", out],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert res.returncode == 0, res.stderr
    assert open(out, "rb").read() == expected
    assert "Traceback" not in res.stderr and "by 2 Dask workers of local" in res.stderr


# Last: its workers die (and are started again by their nannies).
class _KillsItsWorker:
    """A pipeline step that ends the process that runs it."""

    def transform(self, X):
        os._exit(7)


# Shipped by value (as Dask ships what __main__ defines), since workers cannot import tests.
_KillsItsWorker.__module__ = "__main__"


def test_a_worker_that_dies_is_reported_in_one_line(tmp_path, scheduler, saved_path):
    pipeline, record = saving.load(saved_path)
    pipeline.steps[0] = ("preprocess", _KillsItsWorker())
    data = write(tmp_path / "new.csv", *penguins())
    with distributed.Client(scheduler) as client:
        with pytest.raises(cluster.ClusterError, match="a Dask worker died"):
            cluster.apply_files(client, pipeline, record, data, out=str(tmp_path / "o.csv"))
    assert not os.path.exists(str(tmp_path / "o.csv"))


def tool(*argv, env=None):
    """The command in a process of its own, as a user meets it: (exit code, every stderr line)."""
    res = subprocess.run(
        [sys.executable, "-m", "tabrix_libs", "--no-progress", *argv],
        capture_output=True,
        text=True,
        timeout=300,
        env=dict(os.environ, **(env or {})),
    )
    return res.returncode, res.stderr.splitlines()


@pytest.fixture
def dask_default_port_taken():
    """Dask's default HTTP port taken, as by another cluster on the machine: its warning about it
    must not reach the user either."""
    with socket.socket() as s:
        try:
            s.bind(("", 8787))
            s.listen(1)
        except OSError:
            pass  # taken already
        yield


@pytest.mark.parametrize("bad", ["maybe", "inf"])
def test_on_its_own_local_cluster_a_bad_last_block_is_one_line(
    tmp_path, dask_default_port_taken, bad
):
    flag_model, header, rows = bool_model(tmp_path)
    rows = rows * 50 + [["true", bad, "a"] if bad == "inf" else [bad, "1", "a"]]
    data = write(tmp_path / "bad.csv", header, rows)
    out = str(tmp_path / "pred.csv")
    code, err = tool(
        data, "--apply", flag_model, "--out", out, "--dask", "local", "--workers", "2",
        "--block-size", "4000",
    )  # fmt: skip
    lines = [line for line in err if "warning:" not in line]
    assert code == 2 and len(lines) == 1 and "bad.csv, data rows" in lines[0], err
    assert len(err) == 2 and not os.path.exists(out), err  # the pickle warning, the error: no log


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture
def remote(tmp_path, saved_path):
    """A scheduler and two workers in processes of their own, and a saved pipeline whose
    preprocessing sleeps over each block: (address, scheduler process, slow saved file)."""
    import joblib
    from _slow_step import Slow

    here = os.path.dirname(os.path.abspath(__file__))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([here, os.environ.get("PYTHONPATH", "")]))
    address = "tcp://127.0.0.1:%d" % _free_port()
    scheduler = subprocess.Popen(
        [sys.executable, "-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1"]
        + ["--port", address.rsplit(":", 1)[1], "--no-dashboard"],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
        env=env,
    )
    workers = subprocess.Popen(
        [sys.executable, "-m", "distributed.cli.dask_worker", address, "--nworkers", "2"]
        + ["--nthreads", "1", "--no-dashboard"],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
        env=env,
    )
    try:
        with distributed.Client(address, timeout="60s") as client:
            client.wait_for_workers(2, timeout=120)
        pipeline, record = saving.load(saved_path)
        pipeline.steps[0] = ("preprocess", Slow(pipeline.steps[0][1], 0.25))
        setattr(pipeline, saving.RECORD, record)
        slow = str(tmp_path / "slow.joblib")
        joblib.dump(pipeline, slow)
        yield address, scheduler, slow, env
    finally:
        for p in (workers, scheduler):
            p.kill()
            p.wait()


def _run_and_interrupt(tmp_path, remote, interrupt):
    """--apply on the remote cluster of 24 blocks; `interrupt()` is called once the first block
    has been written. Returns (exit code, stderr lines, output path, expected bytes)."""
    address, _, slow, env = remote
    header, rows = shuffled_table(times=6)
    data = write(tmp_path / "new.csv", header, rows)
    expected = one_process(data, slow, str(tmp_path / "one.csv"))
    out = str(tmp_path / "dask.csv")
    size = str(os.path.getsize(data) // 24 + 1)
    process = subprocess.Popen(
        [sys.executable, "-m", "tabrix_libs", "--no-progress", data, "--apply", slow]
        + ["--dask", address, "--block-size", size, "--out", out],
        stderr=subprocess.PIPE,
        text=True,
        env=env,
    )
    deadline = time.time() + 120
    while time.time() < deadline and process.poll() is None:
        parts = [n for n in os.listdir(str(tmp_path)) if n.startswith(".dask.csv")]
        if parts and os.path.getsize(str(tmp_path / parts[0])) > len(expected) // 20:
            interrupt()
            break
        time.sleep(0.05)
    _, err = process.communicate(timeout=300)
    return process.returncode, err.splitlines(), out, expected


def test_a_lost_scheduler_is_one_line_and_writes_nothing(tmp_path, remote):
    scheduler = remote[1]
    code, err, out, _ = _run_and_interrupt(tmp_path, remote, scheduler.kill)
    lines = [line for line in err if "warning:" not in line]
    assert code == 1 and len(lines) == 1, err
    assert "the connection to the Dask" in lines[0] and "was lost" in lines[0]
    assert not os.path.exists(out) and not [n for n in os.listdir(str(tmp_path)) if ".part" in n]


def test_a_worker_killed_mid_run_is_survived_with_the_same_output(tmp_path, remote):
    with distributed.Client(remote[0]) as client:
        pids = sorted(client.run(os.getpid).values())
    code, err, out, expected = _run_and_interrupt(
        tmp_path, remote, lambda: os.kill(pids[0], signal.SIGKILL)
    )
    assert code == 0, err
    assert open(out, "rb").read() == expected
