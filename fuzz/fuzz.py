#!/usr/bin/env python3
"""Runs one fuzz target.

  fuzz.py list
  fuzz.py atheris TARGET [options] [-- libFuzzer arguments and corpus folders]
      coverage-guided run (needs atheris); guided by the harness's own Python code, and by
      scikit-learn's too with --instrument-sklearn
  fuzz.py random TARGET [options] [--seconds S | --runs N] [--seed N]
      unguided run on random bytes: needs nothing but the package, works on any interpreter
      and under preloaded sanitizer runtimes
  fuzz.py replay TARGET PATH...
      runs saved inputs (files, or folders of them) once each

Exit status 3 when something was found. Options: --keep-going (record findings and go on;
the default stops at the first one),
--findings DIR (where inputs that break an oracle are saved), --stats FILE (JSON with the
execution count and findings, rewritten every second while running).

A finding is an input that breaks an oracle: a changed input, a wrong result, an exception
other than TypeError/ValueError/IndexError/KeyError/OverflowError, one without a message.
A crash of the interpreter is one too (libFuzzer saves that input as crash-*).
"""

import argparse
import hashlib
import json
import os
import random
import re
import sys
import time
import warnings

FOUND = 3  # exit status when an oracle broke (a crash gives another)
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)


def load_targets(instrument=None):
    """The target table; with atheris, the harness modules are imported instrumented."""
    # The package, NumPy and scikit-learn load first so that only the harness code (and
    # optionally scikit-learn) carries coverage counters.
    import numpy  # noqa: F401

    if instrument is None or not instrument.sklearn:
        import sklearn.impute  # noqa: F401
        import sklearn.preprocessing  # noqa: F401
    import tabrix_libs.utils.exportable_utils  # noqa: F401

    if instrument is not None:
        include = [
            "gen",
            "check",
            "targets_utils",
            "targets_transformers",
            "targets_hostile",
            "targets_csv",
            "targets_frames",
            "_utils_model",
            "_csv_model",
        ]
        if instrument.sklearn:
            include.append("sklearn")
        with instrument.atheris.instrument_imports(include=include):
            import targets_csv
            import targets_frames
            import targets_hostile
            import targets_transformers
            import targets_utils

            import tabrix_libs.transformers.exportable  # noqa: F401
    else:
        import targets_csv
        import targets_frames
        import targets_hostile
        import targets_transformers
        import targets_utils
    table = dict(targets_utils.TARGETS)
    table.update(targets_hostile.TARGETS)
    table.update(targets_csv.TARGETS)
    table.update(targets_transformers.TARGETS)
    table.update(targets_frames.TARGETS)
    # Two targets that take turns among the others (the first byte picks one): a short run in
    # two processes then covers every target without starting an interpreter for each.
    table["kernels"] = Mux(
        dict(targets_utils.TARGETS, **targets_hostile.TARGETS, **targets_csv.TARGETS)
    )
    table["transformers"] = Mux(dict(targets_transformers.TARGETS, **targets_frames.TARGETS))
    return table


class Mux:
    def __init__(self, table):
        self.names = sorted(table)
        self.table = table
        self.current = None
        self.counts = dict.fromkeys(self.names, 0)

    def __call__(self, src):
        self.current = self.names[src.byte() % len(self.names)]
        self.counts[self.current] += 1
        self.table[self.current](src)


class Runner:
    def __init__(self, name, fn, args):
        import gen
        from check import Finding

        self.Finding = Finding
        self.Source = gen.Source
        self.name = name
        self.fn = fn
        self.keep_going = args.keep_going
        self.findings_dir = args.findings
        self.stats_path = args.stats
        self.execs = 0
        self.findings = 0
        self.kinds = {}
        self.start = time.monotonic()
        self.cpu_start = time.process_time()
        self.last_write = self.start

    def one(self, data):
        self.execs += 1
        try:
            self.fn(self.Source(data))
        except self.Finding as f:
            self.record(data, f)
            if not self.keep_going:
                self.write_stats()
                raise
        now = time.monotonic()
        if self.stats_path and now - self.last_write > 1.0:
            self.last_write = now
            self.write_stats()

    def record(self, data, finding):
        self.findings += 1
        first = str(finding).split("\n", 1)[0]
        key = re.sub(r"\d+", "N", first)[:70]
        if isinstance(self.fn, Mux):
            key = self.fn.current + ": " + key
        self.kinds[key] = self.kinds.get(key, 0) + 1
        path = ""
        if self.findings_dir:
            os.makedirs(self.findings_dir, exist_ok=True)
            path = os.path.join(
                self.findings_dir,
                "finding-%s-%s" % (self.name, hashlib.sha1(data).hexdigest()[:16]),
            )
            with open(path, "wb") as f:
                f.write(data)
        if self.kinds[key] <= 3:
            sys.stderr.write(
                "\n=== FINDING in %s: %s\n  saved input: %s\n"
                % (self.name, finding, path or "(no --findings folder)")
            )
            sys.stderr.flush()
        self.write_stats()  # the stats file shows every finding at once

    def write_stats(self):
        if not self.stats_path:
            return
        stats = {
            "target": self.name,
            "execs": self.execs,
            "findings": self.findings,
            "seconds": round(time.monotonic() - self.start, 3),
            "cpu_seconds": round(time.process_time() - self.cpu_start, 3),
            "kinds": self.kinds,
        }
        if isinstance(self.fn, Mux):
            stats["per_target"] = self.fn.counts
        tmp = self.stats_path + ".tmp"
        with open(tmp, "w") as f:
            json.dump(stats, f)
        os.replace(tmp, self.stats_path)

    def summary(self):
        secs = time.monotonic() - self.start
        cpu = time.process_time() - self.cpu_start
        sys.stderr.write(
            "%s: %d executions in %.1f s (%.0f/s; %.0f per CPU second), %d findings\n"
            % (
                self.name,
                self.execs,
                secs,
                self.execs / max(secs, 1e-9),
                self.execs / max(cpu, 1e-9),
                self.findings,
            )
        )
        for k, n in sorted(self.kinds.items(), key=lambda kv: -kv[1]):
            sys.stderr.write("  %6d x %s\n" % (n, k))


def random_inputs(seed):
    rng = random.Random(seed)
    while True:
        n = rng.randrange(1, 64) if rng.random() < 0.3 else rng.randrange(64, 1500)
        yield rng.getrandbits(8 * n).to_bytes(n, "little")


def main(argv):
    p = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    p.add_argument("mode", choices=("list", "atheris", "random", "replay"))
    p.add_argument("target", nargs="?")
    p.add_argument("paths", nargs="*")
    p.add_argument("--keep-going", action="store_true")
    p.add_argument("--findings")
    p.add_argument("--stats")
    p.add_argument("--seconds", type=float)
    p.add_argument("--runs", type=int)
    p.add_argument("--seed", type=int)
    p.add_argument("--instrument-sklearn", action="store_true")
    if "--" in argv:
        cut = argv.index("--")
        argv, extra = argv[:cut], argv[cut + 1 :]
    else:
        extra = []
    args = p.parse_args(argv)
    warnings.simplefilter("ignore")

    instrument = None
    if args.mode == "atheris":
        import atheris

        class instrument:  # noqa: N801 - a plain namespace
            pass

        instrument.atheris = atheris
        instrument.sklearn = args.instrument_sklearn
    targets = load_targets(instrument)
    if args.mode == "list":
        print("\n".join(targets))
        return 0
    if args.target not in targets:
        p.error("unknown target %r; see: fuzz.py list" % args.target)
    runner = Runner(args.target, targets[args.target], args)

    if args.mode == "atheris":
        import atheris

        # libFuzzer ends the process itself: run it with -print_final_stats=1 for the exact
        # execution count; the stats file lags by up to a second.
        atheris.Setup([sys.argv[0]] + extra, runner.one)
        atheris.Fuzz()  # exits the process when done
        return 0

    # Outside libFuzzer, the input being run is kept in a file, so that an input that crashes
    # the interpreter is left behind (campaign.py renames it crash-TARGET-*).
    current = None
    if args.findings:
        os.makedirs(args.findings, exist_ok=True)
        current = os.path.join(args.findings, "current-%s-%d" % (args.target, os.getpid()))
        fd = os.open(current, os.O_CREAT | os.O_WRONLY | os.O_TRUNC, 0o644)
        one = runner.one

        def keep_and_run(data):
            os.pwrite(fd, data, 0)
            os.ftruncate(fd, len(data))
            one(data)

        runner.one = keep_and_run
    code = 0
    try:
        if args.mode == "random":
            seed = args.seed if args.seed is not None else int.from_bytes(os.urandom(4), "little")
            sys.stderr.write("%s: random inputs, seed %d\n" % (args.target, seed))
            deadline = time.monotonic() + args.seconds if args.seconds else None
            for i, data in enumerate(random_inputs(seed)):
                if (
                    (args.runs is not None and i >= args.runs)
                    or (deadline is not None and time.monotonic() >= deadline)
                    or (args.runs is None and deadline is None and i >= 1000)
                ):
                    break
                runner.one(data)
        else:
            files = []
            for path in args.paths:
                if os.path.isdir(path):
                    for root, _, names in os.walk(path):
                        files.extend(os.path.join(root, n) for n in sorted(names))
                else:
                    files.append(path)
            for path in files:
                with open(path, "rb") as f:
                    runner.one(f.read())
    except runner.Finding:
        code = FOUND
    if current:
        os.close(fd)
        os.unlink(current)
    runner.write_stats()
    runner.summary()
    return FOUND if runner.findings else code


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
