"""Saving the command-line tool's fitted pipeline and model, and loading them back to predict.

A saved file holds one scikit-learn Pipeline, `preprocess` then `model`, that takes an object
array of the input columns as strings. Its attribute `tabrix_libs_record_` records how to build
that array from a CSV file: the column names in order, their tags, the missing markers and the
target column.

Two formats, chosen by the file name:

- `.skops`: skops' format (`pip install skops`, or the package's `cli` extra), which rebuilds
  objects from their attributes instead of running code. Loading trusts only the types this tool
  saves: the package's transformers, the scikit-learn estimators and pipeline parts it builds,
  NumPy arrays, dtypes and scalars, and plain containers. A file naming any other type is refused
  before anything is built, and every decision tree is checked before use (scikit-learn follows
  a tree's node indices without bounds checks).
- any other name: a joblib pickle. Loading a pickle runs whatever code it holds, so it must come
  from a trusted source.
"""

import io
import json
import warnings
import zipfile

from tabrix_libs import storage
from tabrix_libs.errors import InputError

RECORD = "tabrix_libs_record_"
FORMAT = 1
SKOPS_INSTALL = (
    ".skops files need skops: pip install skops, or this package with its cli extra "
    "(pip install '.[cli]'); skops needs Python 3.9 and scikit-learn 1.2 or later"
)

# skops' node kinds that the tool's objects are stored as; any other kind (functions, methods,
# partials, objects rebuilt through their reduce tuple) is refused.
_SKOPS_LOADERS = frozenset(
    (
        "ObjectNode",
        "DictNode",
        "ListNode",
        "TupleNode",
        "JsonNode",
        "NdArrayNode",
        "DTypeNode",
        "TypeNode",
        "TreeNode",
    )
)


def is_skops(path):
    return path.lower().endswith(".skops")


def _skops():
    try:
        import skops.io
    except ImportError:
        raise InputError(SKOPS_INSTALL) from None
    return skops.io


def skops_available():
    try:
        import skops.io  # noqa: F401
    except ImportError:
        return False
    return True


def check_path(path):
    """Fails early, before any work, when `path` names a format or a storage that cannot be
    written here."""
    if is_skops(path):
        _skops()
    storage.check_writable(path)


def _type_name(t):
    return "%s.%s" % (t.__module__, t.__name__)


def trusted_types():
    """The fully qualified names of every type a saved file may hold."""
    import numpy as np
    from sklearn.base import BaseEstimator
    from sklearn.ensemble import RandomForestClassifier, RandomForestRegressor
    from sklearn.impute import SimpleImputer
    from sklearn.pipeline import FeatureUnion, Pipeline
    from sklearn.preprocessing import OneHotEncoder, OrdinalEncoder, StandardScaler
    from sklearn.tree import DecisionTreeClassifier, DecisionTreeRegressor
    from sklearn.tree._tree import Tree

    from tabrix_libs.transformers import exportable as ex

    ours = [v for v in vars(ex).values() if isinstance(v, type) and issubclass(v, BaseEstimator)]
    sklearn_types = [
        Pipeline,
        FeatureUnion,
        RandomForestClassifier,
        RandomForestRegressor,
        DecisionTreeClassifier,
        DecisionTreeRegressor,
        Tree,
        SimpleImputer,
        OrdinalEncoder,
        OneHotEncoder,
        StandardScaler,
    ]
    scalars = {np.dtype(c).type for c in "?bhilqBHILQefdgU"}
    numpy_types = [np.ndarray, np.dtype] + sorted(scalars, key=lambda t: t.__name__)
    plain = [dict, list, tuple, str, int, float, bool, type(None)]
    return frozenset(_type_name(t) for t in ours + sklearn_types + numpy_types + plain)


# --------------------------------------------------------------------------------------------
# Saving


def save(path, pipeline, model, record):
    """Writes the fitted pipeline and model with the record of their input, in the format the
    name asks for. The file appears only once it is complete."""
    from sklearn.pipeline import Pipeline

    saved = Pipeline([("preprocess", pipeline), ("model", model)])
    setattr(saved, RECORD, dict(record, format=FORMAT))
    with storage.AtomicFile(path) as out, storage.errors(path, "write"):
        if is_skops(path):
            _skops().dump(saved, out.file, compression=zipfile.ZIP_DEFLATED)
        else:
            import joblib

            joblib.dump(saved, out.file)
    return saved


# --------------------------------------------------------------------------------------------
# Loading


def load(path, warn=None):
    """The saved Pipeline and its record. A pickle is announced once through `warn(text)`.
    Raises InputError, naming the problem, for a file that cannot be read, is not one this tool
    saved, or (.skops) holds a type the tool does not save."""
    if is_skops(path):
        _skops()
    data = storage.read_bytes(path)
    warn = warn or (lambda text: None)
    if not is_skops(path):
        warn(
            "%s is a pickle: loading it runs code it contains, so it must come from a trusted "
            "source (.skops files are safe to load)" % path
        )
    # scikit-learn warns when a file comes from another release of it: passed on in one line each.
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        saved = _load_skops(path, data) if is_skops(path) else _load_pickle(path, data)
    # Only scikit-learn's own: other threads of this process (a Dask cluster starting) may warn
    # meanwhile, and theirs are passed on as they were.
    ours = [w for w in caught if _from_sklearn(w) and issubclass(w.category, UserWarning)]
    for w in caught:
        if not any(w is o for o in ours):
            warnings.warn_explicit(w.message, w.category, w.filename, w.lineno)
    for text in sorted({" ".join(str(w.message).split()) for w in ours}):
        warn("%s: %s" % (path, text))
    record = _check_saved(saved, path)
    _check_trees(saved.steps[1][1], path)
    return saved, record


def _from_sklearn(w):
    return "sklearn" in str(w.filename).replace("\\", "/").split("/")


def _load_pickle(path, data):
    import joblib

    try:
        return joblib.load(io.BytesIO(data))
    except Exception as e:  # a file that is no pickle fails in many ways, all of them "not ours"
        raise InputError(
            "cannot load %s: not a pipeline saved by tabrix-libs (%s)" % (path, type(e).__name__)
        ) from None


def _schema_types(schema, found):
    """Every (loader, type name) pair in a skops schema."""
    stack = [schema]
    while stack:
        node = stack.pop()
        if isinstance(node, dict):
            if "__loader__" in node:
                found.add(
                    (
                        str(node.get("__loader__")),
                        "%s.%s" % (node.get("__module__"), node.get("__class__")),
                    )
                )
            stack.extend(node.values())
        elif isinstance(node, list):
            stack.extend(node)
    return found


def _load_skops(path, data):
    sio = _skops()
    try:
        with zipfile.ZipFile(io.BytesIO(data)) as z:
            schema = json.loads(z.read("schema.json"))
    except (zipfile.BadZipFile, KeyError, ValueError, OSError, RuntimeError) as e:
        raise InputError(
            "cannot load %s: not a skops file (%s)" % (path, type(e).__name__)
        ) from None
    allowed = trusted_types()
    # Checked here rather than left to skops, which also trusts every scikit-learn estimator and
    # the NumPy and SciPy functions by default.
    for loader, name in sorted(_schema_types(schema, set())):
        if loader not in _SKOPS_LOADERS:
            raise InputError(
                "refusing to load %s: it holds %s stored as %s, which tabrix-libs never saves"
                % (path, name, loader)
            )
        if name not in allowed:
            raise InputError(
                "refusing to load %s: it holds the type %s, which tabrix-libs never saves"
                % (path, name)
            )
    try:
        untrusted = sio.get_untrusted_types(data=data)
        foreign = sorted(set(untrusted) - allowed)
        if foreign:
            raise InputError(
                "refusing to load %s: it holds the type %s, which tabrix-libs never saves"
                % (path, foreign[0])
            )
        return sio.loads(data, trusted=list(untrusted))
    except InputError:
        raise
    except Exception as e:  # skops' own checks of a damaged file
        text = str(e).strip().splitlines()
        raise InputError(
            "cannot load %s: %s: %s" % (path, type(e).__name__, text[0] if text else "")
        ) from None


def _check_saved(saved, path):
    from sklearn.pipeline import Pipeline

    from tabrix_libs.pipeline import TAGS

    not_ours = InputError(
        "cannot load %s: not a pipeline saved by tabrix-libs --save-pipeline" % path
    )
    if type(saved) is not Pipeline or not isinstance(saved.steps, list) or len(saved.steps) != 2:
        raise not_ours
    if [s[0] if isinstance(s, tuple) and len(s) == 2 else None for s in saved.steps] != [
        "preprocess",
        "model",
    ]:
        raise not_ours
    record = getattr(saved, RECORD, None)
    if not isinstance(record, dict) or record.get("format") != FORMAT:
        raise not_ours
    columns, tags, missing = record.get("columns"), record.get("tags"), record.get("missing")
    target, task = record.get("target"), record.get("task")
    ok = (
        isinstance(columns, list)
        and columns
        and all(isinstance(c, str) for c in columns)
        and len(set(columns)) == len(columns)
        and isinstance(tags, list)
        and len(tags) == len(columns)
        and all(isinstance(t, str) and t in TAGS for t in tags)
        and isinstance(missing, list)
        and all(isinstance(m, str) for m in missing)
        and isinstance(target, str)
        and target not in columns
        and task in ("classification", "regression")
    )
    if not ok:
        raise InputError("cannot load %s: its record of the input columns is damaged" % path)
    return record


def _check_trees(model, path):
    """Every decision tree of the model keeps its node and feature indices in range, so that
    prediction cannot read outside its arrays."""
    import numpy as np
    from sklearn.ensemble import RandomForestClassifier, RandomForestRegressor
    from sklearn.tree import DecisionTreeClassifier, DecisionTreeRegressor
    from sklearn.tree._tree import Tree

    damaged = InputError("cannot load %s: its model is damaged" % path)
    if isinstance(model, (RandomForestClassifier, RandomForestRegressor)):
        trees = getattr(model, "estimators_", None)
        if not isinstance(trees, list) or not trees:
            raise damaged
    elif isinstance(model, (DecisionTreeClassifier, DecisionTreeRegressor)):
        trees = [model]
    else:
        raise InputError(
            "cannot load %s: not a pipeline saved by tabrix-libs --save-pipeline" % path
        )
    width = getattr(model, "n_features_in_", None)
    if not isinstance(width, (int, np.integer)) or width < 1:
        raise damaged
    for est in trees:
        tree = getattr(est, "tree_", None)
        if (
            not isinstance(est, (DecisionTreeClassifier, DecisionTreeRegressor))
            or type(tree) is not Tree
        ):
            raise damaged
        if tree.n_features != width or getattr(est, "n_features_in_", None) != width:
            raise damaged
        n = tree.node_count
        left, right, feature = tree.children_left, tree.children_right, tree.feature
        if n < 1 or not (len(left) == len(right) == len(feature) == tree.value.shape[0] == n):
            raise damaged
        nodes = np.arange(n)
        leaf = left == -1
        # Children come after their parent, which also rules out cycles.
        if not (
            (right[leaf] == -1).all()
            and (left[~leaf] > nodes[~leaf]).all()
            and (left < n).all()
            and (right[~leaf] > nodes[~leaf]).all()
            and (right < n).all()
            and (feature[~leaf] >= 0).all()
            and (feature[~leaf] < width).all()
        ):
            raise damaged


def match_columns(header, record, path):
    """Positions in the file of the saved columns, in their saved order, and of the target (or
    None). A missing or extra column is an error naming them all."""
    columns, target = record["columns"], record["target"]
    absent = [c for c in columns if c not in header]
    extra = [c for c in header if c not in columns and c != target]
    if absent or extra:
        problems = []
        if absent:
            problems.append(
                "missing column%s %s" % ("s" * (len(absent) > 1), ", ".join(map(repr, absent)))
            )
        if extra:
            problems.append(
                "unexpected column%s %s" % ("s" * (len(extra) > 1), ", ".join(map(repr, extra)))
            )
        raise InputError(
            "%s does not have the saved pipeline's columns: %s (expected %s, and optionally the "
            "target %r)" % (path, "; ".join(problems), ", ".join(columns), target)
        )
    return [header.index(c) for c in columns], (header.index(target) if target in header else None)
