"""The examples of README.md and docs/usage.md run as written, and the relative links of the
documentation lead somewhere."""

import glob
import os
import re

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
README = os.path.join(ROOT, "README.md")
DOC = os.path.join(ROOT, "docs", "usage.md")
PAGES = [README] + sorted(glob.glob(os.path.join(ROOT, "docs", "*.md")))


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def python_blocks(path):
    return re.findall(r"```python\n(.*?)```", read(path), re.S)


BLOCKS = [(path, code) for path in (README, DOC) for code in python_blocks(path)]
IDS = [
    "%s-block%d" % (os.path.basename(path), i)
    for path in (README, DOC)
    for i in range(len(python_blocks(path)))
]


@pytest.mark.parametrize("path, code", BLOCKS, ids=IDS)
def test_example_runs(ex, capsys, path, code):
    needs = re.match(r"# needs: (.*)\n", code)
    for module in needs.group(1).split(",") if needs else []:
        pytest.importorskip(module.strip())
    exec(compile(code, path, "exec"), {"__name__": "__main__"})
    if "ex.debug = True" in code:
        lines = capsys.readouterr().out.splitlines()
        assert lines[0] == "NumImputer: Starting fit(2x1)"
        assert lines[1].startswith("NumImputer: Ending fit(2x1), elapsed_time (s): ")
        assert lines[4].startswith("NumImputer.transform([[ 1.]")


@pytest.mark.parametrize("path, least", [(README, 1), (DOC, 5)], ids=["README", "usage"])
def test_the_page_has_examples(path, least):
    assert len(python_blocks(path)) >= least


def anchors(text):
    """The anchors the headings of a Markdown page get: lower case, punctuation dropped, spaces
    turned into hyphens."""
    headings = re.findall(r"^#+ +(.*?) *$", re.sub(r"```.*?```", "", text, flags=re.S), re.M)
    return {re.sub(r"[^\w\- ]", "", h.lower()).replace(" ", "-") for h in headings}


@pytest.mark.parametrize("path", PAGES, ids=[os.path.relpath(p, ROOT) for p in PAGES])
def test_relative_links_lead_to_files_and_headings(path):
    text = read(path)
    broken = []
    for target in re.findall(r"\]\(([^)\s]+)\)", text):
        if re.match(r"[a-z]+:", target):
            continue  # a web address
        file, _, anchor = target.partition("#")
        dest = os.path.normpath(os.path.join(os.path.dirname(path), file)) if file else path
        if not os.path.exists(dest):
            broken.append(target)
        elif anchor and dest.endswith(".md") and anchor not in anchors(read(dest)):
            broken.append(target)
    assert not broken
