"""The command-line tool's second job: a pipeline saved by --save-pipeline applied to new rows,
in a fresh process, chunk by chunk, and refusing files that are not what they should be."""

import csv
import io
import json
import os
import subprocess
import sys
import zipfile

import estimator_cases
import numpy as np
import pytest

from tabrix_libs import _model, cli, tableio
from tabrix_libs import saved as saving
from tabrix_libs.predict import BlockPredictor
from tabrix_libs.transformers import exportable

FORMATS = [
    "joblib",
    pytest.param(
        "skops",
        marks=pytest.mark.skipif(
            not saving.skops_available(), reason="skops is not installed (pip install '.[cli]')"
        ),
    ),
]
needs_skops = pytest.mark.skipif(not saving.skops_available(), reason="skops is not installed")


def read_table(path):
    with open(path, newline="", encoding="utf-8") as f:
        rows = list(csv.reader(f))
    return rows[0], rows[1:]


def write_table(path, header, rows):
    with open(str(path), "w", newline="", encoding="utf-8") as f:
        csv.writer(f).writerows([header] + rows)
    return str(path)


def fit(tmp_path, fmt, *argv):
    """Fits in this process; returns the saved file's path and the fitted Pipeline object."""
    path = str(tmp_path / ("model." + fmt))
    args = cli.make_parser().parse_args(["--no-progress", "--save-pipeline", path, *argv])
    cli.check_options(args)
    _, saved = cli.fit(args, io.StringIO(), io.StringIO())
    return path, saved


@pytest.fixture(scope="module")
def models(tmp_path_factory):
    """One classifier per format, fitted once for the module."""
    tmp = tmp_path_factory.mktemp("models")
    out = {"joblib": fit(tmp, "joblib")}
    if saving.skops_available():
        out["skops"] = fit(tmp, "skops")
    return out


def apply_main(capsys, *argv):
    code = cli.main(["--no-progress", *argv])
    captured = capsys.readouterr()
    return code, captured.out, captured.err


def penguin_rows():
    return read_table(cli.DEFAULT_DATA)


def features_of(saved, header, rows):
    """The object array the saved pipeline takes, built by name from a table."""
    columns = getattr(saved, saving.RECORD)["columns"]
    return np.array([[r[header.index(c)] for c in columns] for r in rows], dtype=object)


@pytest.mark.parametrize("fmt", FORMATS)
def test_applied_in_a_fresh_process_to_shuffled_reordered_rows(tmp_path, fmt):
    path, saved = fit(tmp_path, fmt)
    header, rows = penguin_rows()
    order = np.random.RandomState(1).permutation(len(rows))
    keep = [
        j for j in reversed(range(len(header))) if header[j] != "species"
    ]  # reordered, no target
    new_header = [header[j] for j in keep]
    new_rows = [[rows[i][j] for j in keep] for i in order]
    data = write_table(tmp_path / "new.csv", new_header, new_rows)
    out = str(tmp_path / "pred.csv")
    res = subprocess.run(
        [sys.executable, "-m", "tabrix_libs", data, "--apply", path, "--out", out, "--proba"],
        capture_output=True,
        text=True,
    )
    assert res.returncode == 0, res.stderr
    assert res.stderr.count("is a pickle") == (fmt == "joblib")
    assert "accuracy" not in res.stderr  # no target, no score
    got_header, got = read_table(out)
    classes = list(saved.classes_)
    assert got_header == new_header + ["prediction"] + ["proba_" + c for c in classes]
    assert [r[: len(new_header)] for r in got] == new_rows  # rows kept, in order
    X = features_of(saved, new_header, new_rows)
    assert [r[len(new_header)] for r in got] == saved.predict(X).tolist()
    proba = np.array([r[len(new_header) + 1 :] for r in got], dtype=float)
    np.testing.assert_array_equal(proba, saved.predict_proba(X))


@pytest.mark.parametrize("fmt", FORMATS)
def test_chunks_give_the_same_output_as_one_piece(tmp_path, capsys, monkeypatch, models, fmt):
    path, saved = models[fmt]
    whole = str(tmp_path / "whole.csv")
    assert apply_main(capsys, cli.DEFAULT_DATA, "--apply", path, "--proba", "--out", whole)[0] == 0
    seen = []
    predict = BlockPredictor.predict
    monkeypatch.setattr(
        BlockPredictor,
        "predict",
        lambda self, block, *a: (seen.append(len(block)), predict(self, block, *a))[1],
    )
    for size in (7, 344, 1000):
        seen.clear()
        code, out, err = apply_main(
            capsys, cli.DEFAULT_DATA, "--apply", path, "--proba", "--chunk-rows", str(size)
        )
        assert code == 0, err
        assert out == open(whole, encoding="utf-8").read()  # standard output, byte for byte
        assert max(seen) == min(size, 344) and sum(seen) == 344
        # The score on the target column, which the file has, is the model's own.
        header, rows = penguin_rows()
        expected = saved.score(features_of(saved, header, rows), [r[0] for r in rows])
        assert "accuracy on the target column 'species', 344 rows: %.4f" % expected in err


def test_regression_score_and_unseen_values(tmp_path, capsys):
    path, saved = fit(tmp_path, "joblib", "--target", "body_mass_g", "--encoding", "onehot-dense")
    header, rows = penguin_rows()
    t = header.index("body_mass_g")
    rows = [list(r) for r in rows]
    for r in rows[::5]:
        r[header.index("island")] = "Atlantis"  # never seen at fit: imputed like a missing one
        r[header.index("sex")] = "?"
    rows[3][t] = "heavy"  # not a number: left out of the score
    data = write_table(tmp_path / "new.csv", header, rows)
    out = str(tmp_path / "pred.csv")
    code, _, err = apply_main(capsys, data, "--apply", path, "--out", out, "--chunk-rows", "50")
    assert code == 0, err
    X = features_of(saved, header, rows)
    predicted = saved.predict(X)
    assert [float(r[-1]) for r in read_table(out)[1]] == predicted.tolist()
    scored = [i for i, r in enumerate(rows) if r[t] not in ("NA", "heavy")]
    expected = saved.score(X[scored], np.array([float(rows[i][t]) for i in scored]))
    assert (
        "R^2 on the target column 'body_mass_g', %d rows "
        "(1 values that are not numbers left out): %.4f" % (len(scored), expected) in err
    )
    code, _, err = apply_main(capsys, data, "--apply", path, "--proba")
    assert code == 2 and "--proba needs a classifier" in err


@pytest.mark.parametrize(
    "kind, offset", [("regression", 0.0), ("regression", 1e6), ("classification", 0.0)]
)
def test_score_added_up_in_chunks(kind, offset):
    from sklearn.metrics import accuracy_score, r2_score

    rng = np.random.RandomState(0)
    y = offset + rng.normal(size=1000)
    p = y + rng.normal(scale=0.3, size=1000)
    if kind == "classification":
        y, p = (
            np.round(y - offset).astype(int).astype(str),
            np.round(p - offset).astype(int).astype(str),
        )
    target = [str(v) for v in y.tolist()]
    target[10] = "NA"
    score = _model.Score(kind, ["NA"])
    for start in range(0, 1000, 37):
        score.add(target[start : start + 37], p[start : start + 37].tolist())
    keep = [i for i in range(1000) if i != 10]
    if kind == "classification":
        assert score.value == accuracy_score(y[keep], p[keep])
    else:
        assert score.value == pytest.approx(r2_score(y[keep], p[keep]), abs=1e-9)
    assert score.rows == 999


def test_column_names_of_the_output_never_clash(tmp_path, capsys):
    text = "prediction,proba_no,label\n" + "".join(
        "%d,%s,%s\n" % (i, "ab"[i % 2], ["no", "yes"][i % 3 == 0]) for i in range(40)
    )
    data = str(tmp_path / "d.csv")
    with open(data, "w") as f:
        f.write(text)
    path = str(tmp_path / "m.joblib")
    assert cli.main(["--no-progress", data, "--save-pipeline", path]) == 0
    capsys.readouterr()
    code, out, _ = apply_main(capsys, data, "--apply", path, "--proba")
    assert code == 0
    assert out.splitlines()[0] == "prediction,proba_no,label,prediction_,proba_no_,proba_yes"


def test_trace_lines_stay_off_the_predictions(capsys, ex, models):
    path, _ = models["joblib"]
    code, out, err = apply_main(capsys, cli.DEFAULT_DATA, "--apply", path, "--debug")
    assert code == 0
    assert len(list(csv.reader(io.StringIO(out)))) == 345 and "Starting" not in out
    assert "CatEncoder: Starting transform(344x2)" in err
    assert ex.debug is False


class _Tty(io.StringIO):
    def isatty(self):
        return True


def test_progress_bar_covers_reading_transforming_and_writing(monkeypatch, models):
    monkeypatch.setattr(tableio, "PROGRESS_MIN_BYTES", 0)
    args = cli.make_parser().parse_args(
        [cli.DEFAULT_DATA, "--apply", models["joblib"][0], "--chunk-rows", "100"]
    )
    err = _Tty()
    cli.run(args, out=io.StringIO(), err=err)
    frames = [f for f in err.getvalue().split("\r") if f.startswith("[")]
    labels = {f.split("%")[1].split()[0] for f in frames}
    assert {"reading", "transforming", "predicting", "writing"} <= labels
    percents = [int(f.split("]")[1].split("%")[0]) for f in frames]
    assert percents == sorted(percents) and percents[-1] >= 99


# --------------------------------------------------------------------------------------------
# Refusals


def tamper(src, dst, change):
    """A copy of a skops file with its schema changed by change(schema)."""
    with zipfile.ZipFile(src) as z:
        entries = {n: z.read(n) for n in z.namelist()}
    schema = json.loads(entries["schema.json"])
    change(schema)
    entries["schema.json"] = json.dumps(schema).encode()
    with zipfile.ZipFile(dst, "w") as z:
        for name, data in entries.items():
            z.writestr(name, data)
    return dst


def find_node(schema, cls):
    stack = [schema]
    while stack:
        node = stack.pop()
        if isinstance(node, dict):
            if node.get("__class__") == cls and "__loader__" in node:
                return node
            stack.extend(node.values())
        elif isinstance(node, list):
            stack.extend(node)
    raise LookupError(cls)


def _rename_class(schema):
    node = find_node(schema, "CatEncoder")
    node["__module__"], node["__class__"] = "sklearn.linear_model._logistic", "LogisticRegression"


def _add_function(schema):
    find_node(schema, "Pipeline")["content"]["verbose"] = {
        "__class__": "system",
        "__module__": "os",
        "__loader__": "FunctionNode",
        "__id__": 99999,
    }


def _damage_tree(src, dst):
    import joblib
    from sklearn.tree._tree import Tree

    saved = joblib.load(src)
    est = saved.steps[1][1].estimators_[0]
    state = est.tree_.__getstate__()
    nodes = state["nodes"].copy()
    nodes["feature"][0] = 10**6
    state["nodes"] = nodes
    tree = Tree(
        est.tree_.n_features, np.array(est.n_classes_, ndmin=1, dtype=np.intp), est.tree_.n_outputs
    )
    tree.__setstate__(state)
    est.tree_ = tree
    saving._skops().dump(saved, dst)
    return dst


def _foreign_skops(dst):
    from sklearn.linear_model import LogisticRegression

    saving._skops().dump(LogisticRegression().fit([[0.0], [1.0]], [0, 1]), dst)
    return dst


def _foreign_joblib(dst):
    import joblib

    joblib.dump({"columns": ["a"]}, dst)
    return dst


def _text_file(dst, text="this is not a model\n"):
    with open(dst, "w") as f:
        f.write(text)
    return dst


SAVED_CASES = {
    "a pickle of something else": (
        _foreign_joblib,
        "m.joblib",
        "not a pipeline saved by tabrix-libs",
    ),
    "text named .joblib": (_text_file, "m.joblib", "not a pipeline saved by tabrix-libs"),
    "missing saved file": (lambda dst: dst, "gone.joblib", "cannot read"),
    "text named .skops": (_text_file, "m.skops", "not a skops file"),
    "skops of a foreign estimator": (
        _foreign_skops,
        "m.skops",
        "sklearn.linear_model._logistic.LogisticRegression",
    ),
    "tampered: foreign class": (
        "rename",
        "m.skops",
        "sklearn.linear_model._logistic.LogisticRegression",
    ),
    "tampered: a function": ("function", "m.skops", "os.system"),
    "damaged tree": ("tree", "m.skops", "its model is damaged"),
}


@pytest.mark.parametrize("case", list(SAVED_CASES))
def test_saved_files_that_are_not_ours_are_refused(tmp_path, capsys, models, case):
    make, name, message = SAVED_CASES[case]
    if name.endswith(".skops") and not saving.skops_available():
        pytest.skip("skops is not installed")
    dst = str(tmp_path / name)
    if make == "rename":
        tamper(models["skops"][0], dst, _rename_class)
    elif make == "function":
        tamper(models["skops"][0], dst, _add_function)
    elif make == "tree":
        _damage_tree(models["joblib"][0], dst)
    else:
        make(dst)
    out = str(tmp_path / "pred.csv")
    code, stdout, err = apply_main(capsys, cli.DEFAULT_DATA, "--apply", dst, "--out", out)
    assert code == 2 and stdout == ""
    lines = err.splitlines()
    assert lines[-1].startswith("tabrix-libs: error: ") and message in lines[-1]
    assert len(lines) == 1 + (
        name.endswith(".joblib") and case != "missing saved file"
    )  # the pickle warning
    assert not os.path.exists(out)


BAD_DATA = {
    "missing column": (
        lambda h, r: ([c for c in h if c != "island"], [x[:1] + x[2:] for x in r]),
        "missing column 'island'",
    ),
    "extra column": (
        lambda h, r: (h + ["colour"], [x + ["red"] for x in r]),
        "unexpected column 'colour'",
    ),
    "both": (
        lambda h, r: (["isle"] + h[2:], [x[1:] for x in r]),
        "missing column 'island'; unexpected column 'isle'",
    ),
    "empty": ("", "is empty"),
    "header only": (lambda h, r: (h, []), "no data rows"),
    "ragged": (
        lambda h, r: (h, r[:3] + [r[3][:-1]] + r[4:]),
        "line 5: 7 fields where the header has 8",
    ),
    "not utf-8": (
        lambda h, r: (
            (",".join(h) + "\n" + ",".join(r[0]) + "\n").encode()
            + b"\xff\xfe"
            + ",".join(r[1][1:]).encode()
            + b"\n"
        ),
        "not UTF-8 text (line 3)",
    ),
    "not csv": (b"\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR", "not UTF-8"),
    "broken quoting": (
        lambda h, r: ",".join(h) + "\n" + ",".join(r[0]) + '\n"' + ",".join(r[1]) + "\n",
        "line 3: not valid CSV",
    ),
    "a bool column gets text": (None, "step branches/num/bool"),
}


@pytest.mark.parametrize("case", list(BAD_DATA))
def test_bad_data_ends_in_one_line_and_writes_nothing(tmp_path, capsys, case):
    make, message = BAD_DATA[case]
    data = str(tmp_path / "new.csv")
    if case == "a bool column gets text":
        header = ["flag", "size", "label"]
        rows = [["true" if i % 2 else "false", str(i), "ab"[i % 3 == 0]] for i in range(20)]
        path = str(tmp_path / "m.joblib")
        assert (
            cli.main(["--no-progress", write_table(data, header, rows), "--save-pipeline", path])
            == 0
        )
        capsys.readouterr()
        rows[5][0] = "maybe"
        write_table(data, header, rows)
        message = "data rows 1 to 10: step branches/num/"
    else:
        path, _ = fit(tmp_path, "joblib")
        made = make(*penguin_rows()) if callable(make) else make
        if isinstance(made, tuple):
            write_table(data, *made)
        else:
            with open(data, "wb") as f:
                f.write(made if isinstance(made, bytes) else made.encode())
    out = str(tmp_path / "pred.csv")
    with open(out, "w") as f:
        f.write("keep me\n")
    code, stdout, err = apply_main(
        capsys, data, "--apply", path, "--out", out, "--chunk-rows", "10"
    )
    assert code == 2 and stdout == ""
    last = err.splitlines()[-1]
    assert last.startswith("tabrix-libs: error: ") and message in last, err
    assert len(err.splitlines()) == 2  # the pickle warning, then the error
    assert open(out).read() == "keep me\n"  # left as it was
    assert [n for n in os.listdir(str(tmp_path)) if n.endswith(".part")] == []


@pytest.mark.parametrize(
    "argv, message",
    [
        (["--apply", "m.skops"], "--apply needs the CSV file"),
        (["x.csv", "--apply", "m.skops", "--missing", "NA"], "--missing only applies when fitting"),
        (["x.csv", "--apply", "m.skops", "--target", "y"], "--target only applies when fitting"),
        (["x.csv", "--apply", "m.skops", "--scale"], "--scale only applies when fitting"),
        (["--proba"], "--proba only applies with --apply"),
        (["--chunk-rows", "10"], "--chunk-rows only applies with --apply"),
    ],
)
def test_options_of_the_other_job_are_errors(capsys, argv, message):
    code, _, err = apply_main(capsys, *argv)
    assert code == 2 and err.count("\n") == 1 and message in err


def test_without_skops_a_skops_name_says_what_to_install(tmp_path, capsys, monkeypatch, models):
    monkeypatch.setitem(sys.modules, "skops", None)
    monkeypatch.setitem(sys.modules, "skops.io", None)
    saved_path = str(tmp_path / "m.skops")
    for argv in (["--save-pipeline", saved_path], [cli.DEFAULT_DATA, "--apply", saved_path]):
        code, out, err = apply_main(capsys, *argv)
        assert code == 2 and out == "" and err.count("\n") == 1
        assert "pip install skops" in err and "'.[cli]'" in err
    assert not os.path.exists(saved_path)


@needs_skops
def test_skops_trusts_only_the_types_the_tool_saves(models):
    """Every type in a saved file is one the tool saves, and skops' own trust is not relied on."""
    path = models["skops"][0]
    with zipfile.ZipFile(path) as z:
        found = saving._schema_types(json.loads(z.read("schema.json")), set())
    allowed = saving.trusted_types()
    assert {name for _, name in found} <= allowed
    assert "sklearn.linear_model._logistic.LogisticRegression" not in allowed
    assert not any(name.startswith(("os.", "builtins.eval", "numpy.cumsum")) for name in allowed)


def test_a_file_from_another_scikit_learn_release_is_announced_in_one_line(
    tmp_path, capsys, monkeypatch, models
):
    import joblib
    import sklearn.base

    older = str(tmp_path / "older.joblib")
    with monkeypatch.context() as m:
        m.setattr(sklearn.base, "__version__", "0.0.1")
        joblib.dump(models["joblib"][1], older)
    code, out, err = apply_main(capsys, cli.DEFAULT_DATA, "--apply", older)
    assert code == 0 and out.count("\n") == 345
    notes = [line for line in err.splitlines() if "0.0.1" in line]
    assert notes and all(line.startswith("tabrix-libs: warning: %s: " % older) for line in notes)


@needs_skops
@pytest.mark.parametrize("name", sorted(estimator_cases.cases(exportable)))
def test_every_transformer_round_trips_through_skops_with_the_tools_trust(name):
    """The classes are built at import by the compiled module; skops stores their attributes and
    rebuilds them with no more trust than the tool's list (plus NumPy's cumsum where the
    instance holds it)."""
    sio = saving._skops()
    make, X = estimator_cases.cases(exportable)[name]
    est = make().fit(X)
    trusted = sorted(saving.trusted_types()) + (
        ["numpy.cumsum"] if name == "NumpyApplyAlongAxis" else []
    )
    again = sio.loads(sio.dumps(est), trusted=trusted)
    assert type(again) is type(est)
    a, b = est.transform(X), again.transform(X)
    assert np.asarray(a).dtype == np.asarray(b).dtype
    assert (
        np.asarray(a, dtype=object).astype(str).tolist()
        == np.asarray(b, dtype=object).astype(str).tolist()
    )


def test_without_dask_one_line_says_what_to_install(monkeypatch, capsys, models):
    path, _ = models["joblib"]
    monkeypatch.setitem(sys.modules, "distributed", None)
    code, _, err = apply_main(capsys, cli.DEFAULT_DATA, "--apply", path, "--dask", "local")
    lines = [line for line in err.splitlines() if "warning" not in line]
    assert code == 2 and len(lines) == 1 and "pip install 'tabrix-libs[dask]'" in lines[0]


def test_block_predictions_do_not_depend_on_the_threads(models):
    """A Dask worker predicts on one thread, one process on every core: the same bytes."""
    _, saved = models["joblib"]
    record = getattr(saved, saving.RECORD)
    header, rows = penguin_rows()
    rows = rows * 200
    block = np.array(rows, dtype=object)
    texts = []
    for n in (1, 2):
        job = BlockPredictor(saved, record, header, "x", True, n_jobs=n)
        columns = job.predict(block)
        texts.append(job.format(block, columns))
    assert texts[0] == texts[1]
    # The labels taken from the probabilities are the model's own predictions.
    assert columns[0] == saved.predict(features_of(saved, header, rows)).tolist()
