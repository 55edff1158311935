#!/usr/bin/env python3
"""Runs scikit-learn's own estimator checks over every transformer class and writes which pass,
and for each failure the behaviour of the class that causes it, into docs/estimator_checks.md.

    python tools/estimator_checks_table.py            # update the section of the installed release
    python tools/estimator_checks_table.py --pin      # also record the failing set in the test pins

The document keeps one section per scikit-learn release family (major.minor); running the tool
under another release adds or replaces only that release's section. The instances checked, with
their constructor arguments, are those of tests/estimator_cases.py.
"""

import argparse
import json
import os
import platform
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests"))

import estimator_cases  # noqa: E402

DOC = os.path.join(ROOT, "docs", "estimator_checks.md")
PINS = os.path.join(ROOT, "tests", "estimator_checks_pins.json")

BASE_ORDER = (
    "The classes derive from `BaseEstimator` then `TransformerMixin`, in that order, as "
    "existing subclasses and pickles rely on; scikit-learn asks for the mixin first."
)
FIT_LEARNS_ONLY_WIDTH = (
    "`fit` validates nothing: it records the column count (`_check_n_features`) and "
    "does its own work on X as given; `check_array` runs in `transform` only."
)
OBJECT_OUTPUT = (
    "`FloatStr2Float` always returns a new object array (converted columns hold Python "
    "floats), which the check cannot compare numerically (`isfinite` on object dtype)."
)
SPARSE_REACHES_WORK = (
    "Sparse input passes the input checks and reaches the class's own work, which fails "
    "with its own error rather than one saying that sparse input is not supported."
)

# Why a check fails: the behaviour each class is required to have that the check disagrees with.
# Keyed by check name, or by (class name, check name) where one class has a reason of its own.
REASONS = {
    estimator_cases.GENERATION: (
        "Same base order: with `BaseEstimator` first, `TransformerMixin` never adds its tags, and "
        "scikit-learn 1.6 and later refuse to generate the transformer-specific checks (so they "
        "are missing from this section)."
    ),
    "check_mixin_order": BASE_ORDER,
    "check_complex_data": FIT_LEARNS_ONLY_WIDTH + " Complex numbers are not rejected.",
    "check_estimators_empty_data_messages": FIT_LEARNS_ONLY_WIDTH
    + " An empty array is not rejected.",
    "check_estimators_nan_inf": (
        FIT_LEARNS_ONLY_WIDTH
        + " NaN is the usual missing marker; infinities are rejected by `transform`."
    ),
    "check_fit1d": (
        FIT_LEARNS_ONLY_WIDTH + " A one-dimensional array fails on the `X.ndim == 2` assertion "
        "(`AssertionError`) or on the missing second axis (`IndexError`) instead of a `ValueError`."
    ),
    "check_fit2d_predict1d": (
        "`transform` asserts `X.ndim == 2` before `check_array` in the classes that document it, "
        "so a one-dimensional array raises `AssertionError` rather than `ValueError`."
    ),
    "check_dtype_object": (
        "Object arrays are the normal input (strings, numbers, booleans and missing markers side "
        "by side), so an object array of strings is accepted rather than rejected with `TypeError`."
    ),
    ("CatImputer", "check_dtype_object"): (
        "`fit` hands the data to the wrapped `SimpleImputer` as given (no `check_array`), whose "
        "most-frequent count fails on the unhashable cells the check plants with a `TypeError` "
        "worded otherwise than the check expects."
    ),
    "check_estimator_sparse_tag": (
        "Sparse matrices pass the input checks (`check_array(..., accept_sparse=True)`) while the "
        "classes declare no input tags beyond the base classes' defaults (dense only)."
    ),
    "check_estimator_sparse_array": SPARSE_REACHES_WORK,
    "check_estimator_sparse_matrix": SPARSE_REACHES_WORK,
    "check_estimator_sparse_data": SPARSE_REACHES_WORK,
    "check_no_attributes_set_in_init": (
        "The constructor builds derived state that callers use right after construction: the "
        "wrapped scikit-learn estimator (`imputer`, `encoder`, `scaler` and the scaler options) or "
        "`columns_selected_flag`."
    ),
    "check_do_not_raise_errors_in_init_or_set_params": (
        "The constructor builds the wrapped estimator from its parameters (and `CatEncoder` "
        "compares the version family), so a parameter that cannot be used that way fails at "
        "construction."
    ),
    ("OptStandardScaler", "check_do_not_raise_errors_in_init_or_set_params"): (
        "The scaler options arrive through `**kwargs`; parameter introspection sees only "
        "`use_scaler_flag`, so the check's attempt to set `kwargs` is refused."
    ),
    "check_dont_overwrite_parameters": (
        "`fit` records what it learns under public names without a trailing underscore "
        "(`categories_found`, `bad_columns`), which callers read."
    ),
    "check_estimators_overwrite_params": (
        "`fit` collects the known values into the list object the instance holds, which may be the "
        "caller's own empty list; `known_values_list` therefore changes during `fit`."
    ),
    "check_parameters_default_constructible": (
        "The documented signatures have required parameters (`columns_indices_list`, `strategy`, "
        "`missing_values`, `dtypes_list`, `func1d`, the four of `CatEncoder`), and a `None` "
        "default that stands for a list is stored as a new empty list, not as `None`."
    ),
    "check_pipeline_consistency": OBJECT_OUTPUT,
    "check_estimators_pickle": OBJECT_OUTPUT,
    "check_methods_sample_order_invariance": OBJECT_OUTPUT,
    "check_methods_subset_invariance": OBJECT_OUTPUT,
    "check_transformer_general": OBJECT_OUTPUT,
    ("FloatStr2Float", "check_fit_idempotent"): OBJECT_OUTPUT,
    ("CatEncoder", "check_fit_idempotent"): (
        "On categories unseen in `fit`, `transform` warns and switches the wrapped encoder to "
        "`handle_unknown='ignore'` for good; `OrdinalEncoder` refuses that value when it is fitted "
        "again, so the second `fit` of the check fails."
    ),
    "check_transformer_preserve_dtypes": (
        "The output dtype is the one the class exists for (`FloatStr2Float`: object array, "
        "`float32_transform`: float32), not the input's float64."
    ),
    "check_transformer_data_not_an_array": (
        "The input checks read `X.ndim` / `X.shape` from the object as given (the validated copy "
        "of `check_array` is discarded), so an array-like without them raises `AttributeError`."
    ),
    "check_transformers_unfitted": (
        "`transform` works without a prior `fit` (the column-count check is then skipped) in the "
        "classes that learn nothing from the data."
    ),
    "check_dict_unchanged": (
        "`transform` records the flag returned by the selection utility in "
        "`columns_selected_flag`, so the instance changes during `transform`."
    ),
}


def family():
    import sklearn

    return ".".join(sklearn.__version__.split(".")[:2])


# Rules for failures whose cause shows in the message rather than in the check's name; they
# come first.
MESSAGE_RULES = [
    (
        re.compile(r"no varargs"),
        (
            "The constructor takes `*args` and `**kwargs` after its named parameters "
            "(`NumpyApplyAlongAxis`), which scikit-learn's parameter introspection (`get_params`, "
            "`clone`, `repr`) refuses with `RuntimeError`; every check that clones or prints the "
            "instance fails on that."
        ),
    ),
    (re.compile(r"transformer_tags. tag is not set"), REASONS[estimator_cases.GENERATION]),
]


def reason(cls_name, check, outcome=""):
    for pattern, text in MESSAGE_RULES:
        if pattern.search(outcome or ""):
            return text
    for key in ((cls_name, check), check):
        if key in REASONS:
            return REASONS[key]
    return None


def run_all():
    from tabrix_libs.transformers import exportable as ex

    return {
        name: estimator_cases.run_checks(est)
        for name, est in estimator_cases.check_instances(ex).items()
    }


def section(results):
    import numpy
    import sklearn

    fam = family()
    out = [
        "<!-- section %s -->" % fam,
        "## scikit-learn %s" % fam,
        "",
        "Generated with scikit-learn %s, NumPy %s, Python %s."
        % (sklearn.__version__, numpy.__version__, platform.python_version()),
        "",
        "| Class | Checks run | Pass | Fail |",
        "|---|---:|---:|---:|",
    ]
    for cls_name, res in results.items():
        run = [c for c in res if c != estimator_cases.GENERATION]
        failed = [c for c in run if res[c]]
        out.append(
            "| `%s` | %d | %d | %d |" % (cls_name, len(run), len(run) - len(failed), len(failed))
        )
    out += [
        "",
        "### Failing checks and the behaviour that causes them",
        "",
        "| Required behaviour behind the failure | Failing checks | Classes |",
        "|---|---|---|",
    ]
    by_reason = {}
    for cls_name, res in results.items():
        for check, outcome in res.items():
            if outcome:
                why = reason(cls_name, check, outcome) or "(no explanation recorded) " + _short(
                    outcome
                )
                checks, classes = by_reason.setdefault(why, (set(), []))
                checks.add(check)
                if cls_name not in classes:
                    classes.append(cls_name)
    for why, (checks, classes) in sorted(
        by_reason.items(), key=lambda kv: (-len(kv[1][1]), sorted(kv[1][0]))
    ):
        shown = "all" if len(classes) == len(results) else ", ".join("`%s`" % c for c in classes)
        out.append(
            "| %s | %s | %s |"
            % (why.replace("|", "\\|"), ", ".join("`%s`" % c for c in sorted(checks)), shown)
        )
    out += ["", "### Per class", ""]
    for cls_name, res in results.items():
        passed = sorted(c for c, o in res.items() if not o)
        failed = sorted((c, o) for c, o in res.items() if o)
        out.append(
            "- `%s`: passes %s." % (cls_name, ", ".join("`%s`" % c for c in passed) or "none")
        )
        for check, outcome in failed:
            out.append("  - fails `%s`: %s" % (check, _short(outcome)))
    out += ["<!-- end %s -->" % fam, ""]
    return "\n".join(out)


def _short(text, limit=140):
    text = text.replace("|", "\\|").replace("`", "'")
    return text if len(text) <= limit else text[: limit - 3] + "..."


HEADER = """# scikit-learn's estimator checks

Generated by `python tools/estimator_checks_table.py`; do not edit by hand. Each section lists,
for one scikit-learn release family, which of scikit-learn's own estimator checks
(`sklearn.utils.estimator_checks`) each transformer class passes, and for every failing check the
behaviour the class is required to have that the check disagrees with. The instances checked are
built with the arguments in `tests/estimator_cases.py` (`check_instances`), chosen so that the
numeric arrays of varying width the checks generate are valid input.

`tests/test_ecosystem.py` pins the failing set per release family
(`tests/estimator_checks_pins.json`), so a change in behaviour shows as a test failure; regenerate
both with `--pin` after a deliberate change.

The results do not depend on the machine. Some releases (1.3 among them) memory-map the fitted
estimator in `check_estimators_pickle` differently where OpenBLAS reports the Prescott core type
(as it does on a CPU it does not recognise), and that path refuses every estimator; while the
checks run, scikit-learn's testing helpers are shown one fixed core type
(`fixed_blas_view` in `tests/estimator_cases.py`).

"""


def write_doc(text):
    os.makedirs(os.path.dirname(DOC), exist_ok=True)
    old = open(DOC, encoding="utf-8").read() if os.path.exists(DOC) else HEADER
    fam = family()
    pattern = re.compile(
        r"<!-- section %s -->.*?<!-- end %s -->\n" % (re.escape(fam), re.escape(fam)), re.S
    )
    if pattern.search(old):
        new = pattern.sub(lambda _: text, old)
    else:
        sections = re.findall(r"<!-- section (\S+) -->.*?<!-- end \1 -->\n", old, re.S)
        body = [
            m.group(0)
            for m in re.finditer(r"<!-- section (\S+) -->.*?<!-- end \1 -->\n", old, re.S)
        ]
        body.append(text)
        keys = sections + [fam]
        ordered = [
            b
            for _, b in sorted(
                zip(keys, body), key=lambda kb: [int(p) for p in kb[0].split(".")], reverse=True
            )
        ]
        new = "\n".join(ordered)
    new = HEADER + new[new.index("<!-- section ") :]  # the header as this tool writes it now
    with open(DOC, "w", encoding="utf-8") as f:
        f.write(new)


def write_pins(results):
    pins = json.load(open(PINS, encoding="utf-8")) if os.path.exists(PINS) else {}
    pins[family()] = {cls: sorted(c for c, o in res.items() if o) for cls, res in results.items()}
    with open(PINS, "w", encoding="utf-8") as f:
        json.dump(dict(sorted(pins.items())), f, indent=1, sort_keys=True)
        f.write("\n")


def main():
    if os.environ.get("PYTHONHASHSEED") != "0":
        # Some messages show a set (scikit-learn's parameter errors list the allowed values),
        # whose order follows the string hashes of each process: one fixed order, so that a
        # rerun changes the document only where the results change.
        env = dict(os.environ, PYTHONHASHSEED="0")
        os.execve(sys.executable, [sys.executable, os.path.abspath(__file__)] + sys.argv[1:], env)
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument(
        "--pin",
        action="store_true",
        help="also record the failing checks in " + os.path.relpath(PINS, ROOT),
    )
    args = p.parse_args()
    results = run_all()
    write_doc(section(results))
    if args.pin:
        write_pins(results)
    missing = sorted(
        {c for name, res in results.items() for c, o in res.items() if o and not reason(name, c, o)}
    )
    for check in missing:
        print("no explanation recorded for failing check", check, file=sys.stderr)
    print("updated %s (scikit-learn %s)" % (os.path.relpath(DOC, ROOT), family()))


if __name__ == "__main__":
    main()
