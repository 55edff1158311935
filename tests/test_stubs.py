"""The type stubs ship with the package and agree with the compiled modules. stubtest checks the
transformer module in CI (STUBTEST=1 tools/test-all); it cannot read the signatures of nanobind
functions, so the utility module's stubs are compared here with the signatures nanobind reports."""

import ast
import inspect
import os
import re

import pytest
from _class_table import CLASS_TABLE

import tabrix_libs
from tabrix_libs.transformers import exportable
from tabrix_libs.utils import exportable_utils

PACKAGE = os.path.dirname(tabrix_libs.__file__)


def stub_functions(path):
    tree = ast.parse(open(path, encoding="utf-8").read())
    out = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            a = node.args
            names = [p.arg for p in a.args]
            out[node.name] = (names, len(a.defaults))
    return out


def stub_classes(path):
    tree = ast.parse(open(path, encoding="utf-8").read())
    return {n.name: n for n in tree.body if isinstance(n, ast.ClassDef)}


@pytest.mark.parametrize(
    "relative", ["py.typed", "transformers/exportable.pyi", "utils/exportable_utils.pyi"]
)
def test_installed_with_the_package(relative):
    assert os.path.isfile(os.path.join(PACKAGE, relative))


def test_installed_version_is_the_package_version():
    from importlib.metadata import version  # written once, in tabrix_libs/__init__.py

    assert version("tabrix-libs") == tabrix_libs.__version__


def test_utility_stubs_match_nanobind_signatures():
    stubs = stub_functions(os.path.join(PACKAGE, "utils", "exportable_utils.pyi"))
    runtime = {
        n
        for n in dir(exportable_utils)
        if callable(getattr(exportable_utils, n)) and not n.startswith("_")
    }
    assert set(stubs) == runtime
    for name, (params, n_defaults) in stubs.items():
        first = getattr(exportable_utils, name).__doc__.splitlines()[0]
        m = re.match(r"%s\((.*)\)" % name, first)
        assert m, first
        reported = [p.strip() for p in m.group(1).split(",") if p.strip()]
        assert params == [p.split("=")[0].split(":")[0].strip() for p in reported], name
        assert n_defaults == sum("=" in p for p in reported), name


def test_transformer_stubs_cover_every_public_object():
    classes = stub_classes(os.path.join(PACKAGE, "transformers", "exportable.pyi"))
    functions = stub_functions(os.path.join(PACKAGE, "transformers", "exportable.pyi"))
    for name in [n for n in CLASS_TABLE if n != "is_all_missing"]:
        init = next(
            f for f in classes[name].body if isinstance(f, ast.FunctionDef) and f.name == "__init__"
        )
        stub_params = [p.arg for p in init.args.args]
        runtime_params = [
            p.name
            for p in inspect.signature(getattr(exportable, name).__init__).parameters.values()
            if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)
        ]
        assert stub_params == runtime_params, name
    assert functions["is_all_missing"] == (["x", "bad_vals"], 0)
