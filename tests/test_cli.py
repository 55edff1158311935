"""The command-line tool: the bundled data, generated CSV files, options, and input errors."""

import csv
import io
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from tabrix_libs import _model, cli, pipeline, tableio

STEP_CLASSES = [
    "CompressStrings",
    "NumpyReplaceMissingValues",
    "FloatStr2Float",
    "NumpyColumnSelector",
    "NumpyReplaceUnknownValues",
    "CatImputer",
    "CatEncoder",
    "ColumnSelector",
    "boolean2float",
    "NumImputer",
    "OptStandardScaler",
    "FeatureUnion",
    "float32_transform",
]

MIXED = textwrap.dedent("""\
    colour,size,flag,note,label
    Red Car,1.5,True,"a, b",yes
    red car,2.5,false,x,no
    BLUE,NA,TRUE,,yes
    blue,4.0,False,y,no
    Green!,5.5,,x,yes
    green,6.5,true,NA,no
    red car,7.5,false,y,yes
    blue,?,False,x,no
    """)


def write(tmp_path, text, name="data.csv", mode="w"):
    path = tmp_path / name
    if mode == "wb":
        path.write_bytes(text)
    else:
        path.write_text(text, encoding="utf-8")
    return str(path)


def run_main(capsys, *argv):
    code = cli.main(["--no-progress", *argv])
    captured = capsys.readouterr()
    return code, captured.out, captured.err


def test_bundled_data_end_to_end(capsys, ex):
    code, out, err = run_main(capsys)
    assert code == 0 and err == ""
    assert "target: species (classification), 344 rows" in out
    assert "columns: 5 numeric (float_str), 2 categorical (char_str), 0 boolean (bool_str)" in out
    for name in STEP_CLASSES:
        assert out.count(" " + name + " ") == 2, name  # once per table
    score = float(out.split("held-out accuracy: ")[1].split()[0])
    assert score > 0.9
    # Trace flags are left as they were.
    assert ex.debug is False and ex.debug_timings is False


@pytest.mark.parametrize(
    "argv, flags_seen",
    [
        (["--debug"], ("Starting fit(", "Ending transform(")),
        (["--timings"], ("elapsed_time (s): ",)),
    ],
)
def test_trace_options_switch_the_module_flags(capsys, ex, argv, flags_seen):
    code, out, _ = run_main(capsys, *argv)
    assert code == 0
    for text in flags_seen:
        assert text in out
    assert "CatEncoder: Starting fit(" in out
    assert ex.debug is False and ex.debug_timings is False


def test_regression_target_and_outputs(tmp_path, capsys):
    npy, saved = str(tmp_path / "t.npy"), str(tmp_path / "p.joblib")
    code, out, _ = run_main(
        capsys,
        "--target",
        "body_mass_g",
        "--out",
        npy,
        "--save-pipeline",
        saved,
        "--encoding",
        "onehot-dense",
        "--scale",
    )
    assert code == 0
    assert "(regression)" in out and "held-out R^2:" in out
    Y = np.load(npy)
    assert Y.dtype == np.float32 and Y.shape == (344, 12)  # 3+3+2 one-hot + 4 numeric
    assert not np.isnan(Y).any()
    # The saved pipeline works in a fresh interpreter on the raw strings and its preprocessing
    # gives exactly the rows written by --out.
    script = textwrap.dedent("""
        import csv, sys, joblib, numpy as np
        pipe = joblib.load(sys.argv[1])
        rows = list(csv.reader(open(sys.argv[2], encoding="utf-8")))[1:]
        X = np.array([r[:5] + r[6:] for r in rows], dtype=object)
        np.save(sys.argv[3], pipe.named_steps["preprocess"].transform(X))
        print(len(pipe.predict(X)))
        """)
    again = str(tmp_path / "again.npy")
    res = subprocess.run(
        [sys.executable, "-c", script, saved, cli.DEFAULT_DATA, again],
        capture_output=True,
        text=True,
        check=True,
    )
    assert res.stdout.strip() == "344"
    np.testing.assert_array_equal(np.load(again), Y)


def test_generated_csv_with_every_kind_of_column(tmp_path, capsys):
    path = write(tmp_path, MIXED)
    out_csv = str(tmp_path / "out.csv")
    code, out, err = run_main(
        capsys, path, "--test-size", "0.25", "--out", out_csv, "--encoding", "onehot-dense"
    )
    assert code == 0, err
    assert "target: label (classification), 8 rows" in out
    assert "columns: 1 numeric (float_str), 2 categorical (char_str), 1 boolean (bool_str)" in out
    with open(out_csv, newline="", encoding="utf-8") as f:
        rows = list(csv.reader(f))
    header, body = rows[0], np.array(rows[1:], dtype=float)
    # String cleaning merges "Red Car"/"red car", "BLUE"/"blue" and "Green!"/"green".
    colours = [h for h in header if h.startswith("colour=")]
    assert colours and set(colours) <= {"colour=blue", "colour=green", "colour=redcar"}
    assert header[-2:] == ["size", "flag"]
    assert body.shape == (8, len(header))
    flag = body[:, -1]
    # Booleans become 1.0/0.0; the missing one is imputed with the mean of the training rows.
    assert set(np.round(flag[[0, 1, 2, 3, 5, 6, 7]], 6)) <= {0.0, 1.0}
    assert 0.0 < flag[4] < 1.0


def test_walking_the_steps_matches_the_fitted_pipeline(tmp_path):
    from tabrix_libs.utils.exportable_utils import global_missing_values_reference_list

    names, rows = tableio.read_csv(write(tmp_path, MIXED))
    X = np.array(rows, dtype=object)[:, :4]
    before = X.copy()
    missing = [m for m in global_missing_values_reference_list if isinstance(m, str)]
    tags = pipeline.tag_columns(X, names[:4], set(missing))
    for encoding in ("ordinal", "onehot-dense"):
        pipe = pipeline.build_pipeline(tags, missing, encoding, scale=True)
        table = []
        walked = pipeline.run_pipeline(pipe, X[:6], True, table)
        assert len(table) == len(STEP_CLASSES)
        np.testing.assert_array_equal(walked, pipe.transform(X[:6]))
        applied = pipeline.run_pipeline(pipe, X[6:], False, [])
        np.testing.assert_array_equal(applied, pipe.transform(X[6:]))
        assert applied.dtype == np.float32
    assert (X == before).all()  # input untouched


@pytest.mark.parametrize(
    "values, tag",
    [
        ({"1", "2.5", "-3e2", "NA"}, "float_str"),
        ({"True", "false", "TRUE", ""}, "bool_str"),
        ({"1", "x"}, "char_str"),
        ({"inf", "1"}, "char_str"),  # infinities would be rejected downstream
        ({"NA", "", "?"}, "float_str"),  # all missing
        ({"yes", "no"}, "char_str"),
    ],
)
def test_tag_inference(values, tag):
    assert pipeline.infer_tag(values, {"", "NA", "?"}) == tag


def test_tag_overrides_by_name_and_position(tmp_path, capsys):
    path = write(tmp_path, MIXED)
    code, out, _ = run_main(capsys, path, "--char-columns", "size", "--float-columns", "2")
    assert code == 0
    assert "columns: 1 numeric (float_str), 3 categorical (char_str), 0 boolean (bool_str)" in out


@pytest.mark.parametrize(
    "values, kind",
    [
        (["a", "b", "a"], "classification"),
        (["1", "2", "3", "1"], "classification"),
        ([str(v) for v in range(50)], "regression"),
        (["0.5", "1.5", "0.5"], "regression"),
    ],
)
def test_target_kind(values, kind):
    assert _model.target_kind(values) == kind


def test_bad_numbers_in_a_forced_float_column_become_missing(tmp_path, capsys):
    text = "a,b,t\n" + "".join(
        "%s,%d,%s\n" % ("x" if i % 3 == 0 else i, i, "ab"[i % 2]) for i in range(12)
    )
    code, out, _ = run_main(capsys, write(tmp_path, text), "--float-columns", "a")
    assert code == 0 and "2 numeric" in out


ERROR_CASES = {
    "ragged": ("a,b,t\n1,2,x\n3,4\n", [], "line 3: 2 fields where the header has 3"),
    "empty": ("", [], "is empty"),
    "blank lines only": ("\n\n", [], "is empty"),
    "header only": ("a,b,t\n", [], "no data rows"),
    "missing target": ("a,t\n1,x\n", ["--target", "nope"], "no column 'nope'"),
    "duplicate header": ("a,a,t\n1,2,x\n", [], "appears twice"),
    "target only": ("t\nx\ny\n", [], "no column besides the target"),
    "target all missing": ("a,t\n1,NA\n2,\n", [], "only missing values"),
    "too few rows": ("a,t\n1,x\n2,y\n", [], "at least 4"),
    "unknown override": ("a,t\n1,x\n", ["--char-columns", "zz"], "--char-columns: no column 'zz'"),
    "override of the target": ("a,t\n1,x\n", ["--float-columns", "t"], "is the target column"),
    "bad out name": ("a,t\n" + "1,x\n2,y\n" * 4, ["--out", "o.txt"], "must end in .npy or .csv"),
    "regression on text": ("a,t\n" + "1,x\n2,y\n" * 4, ["--task", "regression"], "not numeric"),
}


@pytest.mark.parametrize("case", list(ERROR_CASES))
def test_input_errors_give_one_line_and_exit_code_2(tmp_path, capsys, monkeypatch, case):
    text, argv, message = ERROR_CASES[case]
    monkeypatch.chdir(tmp_path)
    code, out, err = run_main(capsys, write(tmp_path, text), *argv)
    assert code == 2
    assert err.count("\n") == 1 and err.startswith("tabrix-libs: error: ")
    assert message in err


@pytest.mark.parametrize(
    "make",
    [
        lambda tmp: str(tmp / "does-not-exist.csv"),
        lambda tmp: str(tmp),
        lambda tmp: write(tmp, b"a,t\n\xff\xfe,x\n", mode="wb"),
        lambda tmp: write(tmp, b"a,t\n1\x00,x\n", mode="wb"),
        lambda tmp: write(tmp, 'a,t\n"1,x\n'),
    ],
    ids=["missing file", "directory", "not utf-8", "nul byte", "open quote"],
)
def test_unreadable_files(tmp_path, capsys, make):
    code, _, err = run_main(capsys, make(tmp_path))
    assert code == 2 and err.count("\n") == 1 and "Traceback" not in err


def test_unwritable_outputs(tmp_path, capsys):
    missing_dir = str(tmp_path / "no" / "such" / "dir" / "o.npy")
    code, _, err = run_main(capsys, "--out", missing_dir)
    assert code == 2 and "cannot write" in err


def test_bom_and_crlf_and_blank_lines_are_read(tmp_path):
    path = write(tmp_path, b'\xef\xbb\xbfa,t\r\n1,x\r\n\r\n2,"y\r\nz"\r\n', mode="wb")
    names, rows = tableio.read_csv(path)
    assert names == ["a", "t"] and rows == [["1", "x"], ["2", "y\r\nz"]]


class _Tty(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize(
    "stream, size_threshold, shown",
    [
        (_Tty(), 0, True),
        (io.StringIO(), 0, False),  # not a terminal
        (_Tty(), 1 << 40, False),  # small file
    ],
)
def test_progress_bar_only_on_a_terminal_for_large_files(
    monkeypatch, capsys, stream, size_threshold, shown
):
    monkeypatch.setattr(tableio, "PROGRESS_MIN_BYTES", size_threshold)
    args = cli.make_parser().parse_args([])
    cli.run(args, out=io.StringIO(), err=stream)
    text = stream.getvalue()
    assert ("\r[" in text and "%" in text) is shown
    if shown:
        assert text.endswith("\r")  # the bar is cleared at the end


@pytest.mark.parametrize(
    "command",
    [
        [sys.executable, "-m", "tabrix_libs"],
        [os.path.join(os.path.dirname(sys.executable), "tabrix-libs")],
    ],
    ids=["module", "console script"],
)
def test_entry_points(tmp_path, command):
    if not os.path.exists(command[0]):
        pytest.skip("console script not installed next to the interpreter")
    ok = subprocess.run(command, capture_output=True, text=True, cwd=str(tmp_path))
    assert ok.returncode == 0 and "held-out accuracy" in ok.stdout and ok.stderr == ""
    bad = subprocess.run(
        command + ["missing.csv"], capture_output=True, text=True, cwd=str(tmp_path)
    )
    assert bad.returncode == 2 and bad.stderr.count("\n") == 1 and "Traceback" not in bad.stderr


@pytest.mark.parametrize(
    "argv, message",
    [
        (["--seed", "-1"], "must lie between 0 and 2**32 - 1"),
        (["--seed", "2.5"], "not a whole number"),
        (["x.csv", "--apply", "m.joblib", "--dask", "local", "--block-size", "0"], "at least 1"),
        (["x.csv", "--apply", "m.joblib", "--dask", "local", "--block-size", "8Q"], "not a size"),
    ],
)
def test_bad_option_values_are_refused_by_the_parser(capsys, argv, message):
    with pytest.raises(SystemExit) as e:
        cli.main(argv)
    assert e.value.code == 2 and message in capsys.readouterr().err


@pytest.mark.parametrize("text, size", [("8M", 8 << 20), ("1.5k", 1536), ("4096", 4096)])
def test_block_sizes(text, size):
    assert cli._byte_size(text) == size


def test_a_librarys_warning_is_one_line_in_the_commands_voice(capsys, monkeypatch):
    import warnings

    real = _model.make_model

    def warns(*args):
        warnings.warn("a library's note\nwith more lines\nand more", UserWarning)
        return real(*args)

    monkeypatch.setattr(_model, "make_model", warns)
    assert cli.main(["--no-progress"]) == 0
    assert capsys.readouterr().err.splitlines() == ["tabrix-libs: warning: a library's note"]
