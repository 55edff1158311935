"""The examples of docs/usage.md run as written."""

import os
import re

import pytest

DOC = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "docs", "usage.md")


def python_blocks():
    text = open(DOC, encoding="utf-8").read()
    return re.findall(r"```python\n(.*?)```", text, re.S)


BLOCKS = python_blocks()


@pytest.mark.parametrize("code", BLOCKS, ids=["block%d" % i for i in range(len(BLOCKS))])
def test_example_runs(ex, capsys, code):
    needs = re.match(r"# needs: (.*)\n", code)
    for module in needs.group(1).split(",") if needs else []:
        pytest.importorskip(module.strip())
    exec(compile(code, DOC, "exec"), {"__name__": "__main__"})
    if "ex.debug = True" in code:
        lines = capsys.readouterr().out.splitlines()
        assert lines[0] == "NumImputer: Starting fit(2x1)"
        assert lines[1].startswith("NumImputer: Ending fit(2x1), elapsed_time (s): ")
        assert lines[4].startswith("NumImputer.transform([[ 1.]")


def test_the_doc_has_examples():
    assert len(BLOCKS) >= 5
