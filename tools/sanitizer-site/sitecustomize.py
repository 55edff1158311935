"""Runs at the start of every interpreter of tools/test-sanitizers, which puts this folder on
PYTHONPATH, so subprocesses started by tests are covered too.

GCC's libubsan, loaded beside libasan, ignores the log_path of UBSAN_OPTIONS and writes its
reports to stderr, where pytest's capture (or a test capturing a subprocess's output) can hide
them: the path is handed to it directly."""

import ctypes
import os


def _ubsan_log_path():
    options = dict(
        item.split("=", 1) for item in os.environ.get("UBSAN_OPTIONS", "").split(":") if "=" in item
    )
    libraries = [
        p
        for p in os.environ.get("LD_PRELOAD", "").split()
        if os.path.basename(p).startswith("libubsan")
    ]
    if options.get("log_path") and libraries:
        ctypes.CDLL(libraries[0]).__sanitizer_set_report_path(options["log_path"].encode())


_ubsan_log_path()
