import numpy as np
import pytest

TRACE_FLAGS = ("debug", "debug_timings", "debug_transform_return")


@pytest.fixture
def ex():
    """The transformer module, with its trace flags restored after the test."""
    from tabrix_libs.transformers import exportable

    saved = {name: getattr(exportable, name) for name in TRACE_FLAGS}
    yield exportable
    for name, value in saved.items():
        setattr(exportable, name, value)


@pytest.fixture
def trace_lines(capsys):
    """Returns the lines printed since the last call."""

    def read():
        return capsys.readouterr().out.split("\n")[:-1]

    return read


@pytest.fixture
def fixed_clock(ex, monkeypatch):
    """Makes the module's clock return 10.0, then 10.5, ... so timed lines are predictable."""
    ticks = iter(np.arange(10.0, 1000.0, 0.5).tolist())
    monkeypatch.setattr(ex, "time", lambda: next(ticks))
    return ex
