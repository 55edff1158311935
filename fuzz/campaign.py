#!/usr/bin/env python3
"""Runs many fuzz targets, several at a time, and sums up what they did.

  campaign.py [--mode atheris|random] [--targets NAME,...] [--jobs N]
              (--seconds-per-target S | --total-seconds S | --runs-per-target N)
              [--out DIR] [--keep-going] [--instrument-sklearn] [--seed N]
  campaign.py --mode replay --corpus DIR [--targets NAME,...] [--jobs N] [--out DIR]

Each target runs in its own process (fuzz.py). Guided runs (atheris) keep their corpus in
OUT/corpus/TARGET, and start from it when it exists; replay runs every input of
CORPUS/TARGET once (for instance a guided run's corpus, on a sanitizer build). A sanitizer
report in a process's output counts as a finding too. Inputs that break an oracle go to
OUT/findings, interpreter crashes to OUT/findings/crash-*, each process's output to
OUT/logs/TARGET.log. With --keep-going a target that crashed is started again for the rest of
its budget. The table at the end gives executions, executions per second (of wall time, and of
the process's CPU time, which other load on the machine does not lower) and findings per
target, and the totals; the exit status is 1 when anything was found.
"""

import argparse
import hashlib
import json
import os
import random
import re
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SANITIZER = re.compile(
    r"(ERROR: AddressSanitizer[^\n]*|runtime error:[^\n]*|ERROR: LeakSanitizer[^\n]*)"
)
MUX = ("kernels", "transformers")
STARTUP = 2.0  # seconds an interpreter takes to import NumPy, scikit-learn and the package


def list_targets(python):
    out = subprocess.run(
        [python, os.path.join(HERE, "fuzz.py"), "list"],
        check=True,
        stdout=subprocess.PIPE,
        universal_newlines=True,
    ).stdout
    return out.split()


class Job:
    def __init__(self, target, args, seconds=None, runs=None):
        self.target = target
        self.args = args
        self.seconds = seconds
        self.runs = runs
        self.execs = 0
        self.findings = 0
        self.crashes = 0
        self.busy = 0.0
        self.cpu = 0.0
        self.per_target = {}
        self.kinds = {}
        self.proc = None
        self.started = 0.0
        self.rounds = 0

    def paths(self):
        out = self.args.out
        return (
            os.path.join(out, "corpus", self.target),
            os.path.join(out, "findings"),
            os.path.join(out, "logs", self.target + ".log"),
            os.path.join(out, "stats", "%s.%d.json" % (self.target, self.rounds)),
        )

    def start(self):
        corpus, findings, log, stats = self.paths()
        for d in (corpus, findings, os.path.dirname(log), os.path.dirname(stats)):
            os.makedirs(d, exist_ok=True)
        cmd = [self.args.python, os.path.join(HERE, "fuzz.py"), self.args.mode, self.target]
        if self.args.mode == "replay":
            cmd.append(os.path.join(self.args.corpus, self.target))
        cmd += ["--stats", stats, "--findings", findings]
        if self.args.keep_going:
            cmd.append("--keep-going")
        if self.args.mode == "atheris":
            if not os.listdir(corpus):
                # Random inputs to start from: libFuzzer's own first inputs are short, and short
                # inputs build small, plain values.
                rng = random.Random("%s %d" % (self.target, self.args.seed))
                for i in range(32):
                    n = rng.randrange(16, self.args.max_len)
                    with open(os.path.join(corpus, "seed-%02d" % i), "wb") as f:
                        f.write(rng.getrandbits(8 * n).to_bytes(n, "little"))
            if self.args.instrument_sklearn:
                cmd.append("--instrument-sklearn")
            cmd += [
                "--",
                corpus,
                "-print_final_stats=1",
                "-timeout=60",
                "-rss_limit_mb=4096",
                "-max_len=%d" % self.args.max_len,
                "-len_control=0",
                "-artifact_prefix=%s/crash-%s-" % (findings, self.target),
            ]
            if self.seconds is not None:
                cmd.append("-max_total_time=%d" % max(1, round(self.seconds)))
            if self.runs is not None:
                cmd.append("-runs=%d" % self.runs)
        elif self.args.mode == "random":
            if self.seconds is not None:
                cmd += ["--seconds", "%.1f" % self.seconds]
            if self.runs is not None:
                cmd += ["--runs", str(self.runs)]
            cmd += ["--seed", str(self.args.seed + 7919 * self.rounds + hash(self.target) % 1000)]
        self.log = open(log, "a")
        self.log.write("\n$ %s\n" % " ".join(cmd))
        self.log.flush()
        self.started = time.monotonic()
        self.proc = subprocess.Popen(cmd, stdout=self.log, stderr=subprocess.STDOUT)

    def keep_crash_input(self):
        """The input a random or replay run was on when its process died."""
        _, findings, _, _ = self.paths()
        path = os.path.join(findings, "current-%s-%d" % (self.target, self.proc.pid))
        if os.path.exists(path):
            with open(path, "rb") as f:
                digest = hashlib.sha1(f.read()).hexdigest()[:16]
            os.replace(path, os.path.join(findings, "crash-%s-%s" % (self.target, digest)))

    def finish(self):
        """Collects the figures of the process that ended; True when it should run again."""
        code = self.proc.returncode
        elapsed = time.monotonic() - self.started
        self.log.close()
        _, _, log, stats_path = self.paths()
        stats = {}
        if os.path.exists(stats_path):
            with open(stats_path) as f:
                stats = json.load(f)
        with open(log, errors="replace") as f:
            tail = f.read()[-200000:]
        tail = tail[tail.rfind("\n$ ") :]
        # libFuzzer's own count is exact; the stats file lags by up to a second.
        m = re.findall(r"stat::number_of_executed_units: (\d+)", tail)
        execs = int(m[-1]) if m else stats.get("execs", 0)
        self.execs += execs
        self.busy += stats.get("seconds", elapsed)
        self.cpu += stats.get("cpu_seconds", 0.0)
        for k, n in stats.get("per_target", {}).items():
            self.per_target[k] = self.per_target.get(k, 0) + n
        self.findings += stats.get("findings", 0)
        for k, n in stats.get("kinds", {}).items():
            self.kinds[k] = self.kinds.get(k, 0) + n
        sanitizer = SANITIZER.search(tail)
        if sanitizer:
            key = "sanitizer report: " + sanitizer.group(0).strip()[:80]
            self.kinds[key] = self.kinds.get(key, 0) + 1
            self.crashes += 1
        if self.args.mode != "atheris":
            crashed = code not in (0, 3)  # 3: oracles broke, recorded in the stats
        else:
            # Stopping at a finding ends libFuzzer with an error too; going on, only a crash does.
            crashed = code != 0 and (self.args.keep_going or not stats.get("findings"))
        if crashed:
            self.crashes += 1
            self.keep_crash_input()
            what = (
                "deadly signal"
                if "deadly signal" in tail
                else "timeout"
                if "timeout" in tail
                else "exit status %s" % code
            )
            self.kinds["interpreter crash: " + what] = (
                self.kinds.get("interpreter crash: " + what, 0) + 1
            )
        self.rounds += 1
        if not self.args.keep_going or not crashed:
            return False
        # Go on with what is left of the budget.
        if self.seconds is not None:
            self.seconds -= elapsed
            if self.seconds < 2:
                return False
        if self.runs is not None:
            self.runs -= execs
            if self.runs <= 0:
                return False
        return self.rounds < 50


def main(argv):
    p = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    p.add_argument("--mode", choices=("atheris", "random", "replay"), default="atheris")
    p.add_argument("--corpus", help="replay: the folder holding one corpus folder per target")
    p.add_argument("--targets", default="all")
    p.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    g = p.add_mutually_exclusive_group()
    g.add_argument("--seconds-per-target", type=float)
    g.add_argument("--total-seconds", type=float)
    g.add_argument("--runs-per-target", type=int)
    p.add_argument("--out", default=os.path.join(HERE, "..", "build", "fuzz"))
    p.add_argument("--keep-going", action="store_true")
    p.add_argument("--instrument-sklearn", action="store_true")
    p.add_argument("--max-len", type=int, default=2048)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--python", default=sys.executable)
    args = p.parse_args(argv)
    args.out = os.path.abspath(args.out)
    if args.mode == "replay":
        if not args.corpus:
            p.error("--mode replay needs --corpus")
        args.corpus = os.path.abspath(args.corpus)
    elif (
        args.seconds_per_target is None
        and args.total_seconds is None
        and args.runs_per_target is None
    ):
        p.error("give --seconds-per-target, --total-seconds or --runs-per-target")

    # "all": each target on its own (not the two that take turns among the others).
    names = (
        [n for n in list_targets(args.python) if n not in MUX]
        if args.targets == "all"
        else args.targets.split(",")
    )
    if args.mode == "replay":
        names = [n for n in names if os.path.isdir(os.path.join(args.corpus, n))]
    seconds = args.seconds_per_target
    if args.total_seconds is not None:
        # Wall time shared out among the targets, the start-up of each process set apart.
        seconds = max(1.0, args.total_seconds * args.jobs / len(names) - STARTUP)
    pending = [Job(n, args, seconds=seconds, runs=args.runs_per_target) for n in names]
    jobs = list(pending)
    running = []
    t0 = time.monotonic()
    while pending or running:
        while pending and len(running) < args.jobs:
            job = pending.pop(0)
            job.start()
            running.append(job)
        time.sleep(0.2)
        for job in list(running):
            if job.proc.poll() is None:
                continue
            running.remove(job)
            again = job.finish()
            status = "%d execs, %d findings, %d crashes" % (job.execs, job.findings, job.crashes)
            print(
                "[%6.0fs] %-32s %s%s"
                % (time.monotonic() - t0, job.target, status, " (restarting)" if again else ""),
                flush=True,
            )
            if again:
                pending.insert(0, job)
    wall = time.monotonic() - t0

    print(
        "\n%-32s %12s %9s %9s %9s %8s"
        % ("target", "executions", "seconds", "exec/s", "exec/CPUs", "findings")
    )
    total_execs = total_findings = 0
    for job in jobs:
        found = job.findings + job.crashes
        total_execs += job.execs
        total_findings += found
        print(
            "%-32s %12d %9.0f %9.0f %9.0f %8d"
            % (
                job.target,
                job.execs,
                job.busy,
                job.execs / max(job.busy, 1e-9),
                job.execs / max(job.cpu, 1e-9),
                found,
            )
        )
        if job.per_target:
            print(
                "    executions of each: "
                + ", ".join("%s %d" % kv for kv in sorted(job.per_target.items()))
            )
        for k, n in sorted(job.kinds.items(), key=lambda kv: -kv[1])[:8]:
            print("    %6d x %s" % (n, k))
    print(
        "\n%s run, %d targets, %d jobs at a time: %d executions in %.0f s of wall time, "
        "%d findings" % (args.mode, len(jobs), args.jobs, total_execs, wall, total_findings)
    )
    if total_findings:
        print(
            "Inputs saved in %s (replay one with: fuzz.py replay TARGET FILE; libFuzzer "
            "names them crash-*); logs in %s"
            % (os.path.join(args.out, "findings"), os.path.join(args.out, "logs"))
        )
    return 1 if total_findings else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
