#!/usr/bin/env python3
"""Benchmark vorlane-preconditioned CG against the solvers a Python user would pick instead.

    python bench/run.py --quick      # small problems, a few minutes (CI smoke run)
    python bench/run.py              # full size, about 10^6 unknowns per problem

For every (problem, solver) pair the solver is set up and run to a relative residual
||b - A x|| / ||b|| <= 1e-8 several times; the table reports medians.  Each pair runs in
a forked child process, so that a solver that overruns its time cap can be stopped (and is
reported as capped) and so that the preconditioner's memory is measured in isolation.
Results go to bench/results/<name>.md and <name>.png.
"""

from __future__ import annotations

import argparse
import ctypes
import fnmatch
import gc
import math
import multiprocessing as mp
import os
import platform
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

# Every solver here is single-threaded; keep BLAS vector kernels single-threaded too, so
# that CPU time equals wall time on an idle machine and no solver borrows a second core.
for _var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import numpy as np  # noqa: E402

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import problems as problems_mod  # noqa: E402
import solvers as solvers_mod  # noqa: E402

TOL = 1e-8

PRESETS = {
    # cap: seconds allowed to one run (setup + solve) of one pair, for plain CG, Jacobi-CG
    # and spilu-CG; strong_cap: the same for PyAMG and vorlane, which must finish to give
    # the comparison; repeats: runs per pair at most; budget: no further run of a pair
    # starts once this many seconds have been spent on it.
    "quick": dict(cap=5.0, strong_cap=30.0, repeats=5, budget=3.0),
    "full": dict(cap=15.0, strong_cap=90.0, repeats=3, budget=25.0),
}


# ---------------------------------------------------------------------------------------
# Memory held by a preconditioner: bytes allocated through malloc and not yet freed
# (glibc's mallinfo2: arena bytes in use plus mmap'ed chunks).  This sees NumPy buffers,
# SuperLU's and the C++ core's allocations alike.


class _Mallinfo2(ctypes.Structure):
    _fields_ = [(f, ctypes.c_size_t) for f in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
                 "uordblks", "fordblks", "keepcost")]


def _malloc_in_use_fn():
    try:
        libc = ctypes.CDLL(None)
        fn = libc.mallinfo2
        fn.restype = _Mallinfo2
    except (OSError, AttributeError):
        return None

    def in_use():
        m = fn()
        return m.uordblks + m.hblkhd

    return in_use


MALLOC_IN_USE = _malloc_in_use_fn()


def held_bytes():
    gc.collect()
    return MALLOC_IN_USE() if MALLOC_IN_USE else None


# ---------------------------------------------------------------------------------------
# One pair, run in a child process.


def child_main(conn, problem, solver, cap, repeats, budget):
    """Runs up to ``repeats`` runs; sends ("phase", name), ("run", dict) and ("done",)."""
    try:
        A = problem.matrix
        b = problem.rhs()
        bnorm = float(np.linalg.norm(b))
        spent = 0.0
        for rep in range(repeats):
            start = time.perf_counter()
            deadline = start + cap
            conn.send(("phase", "setup"))
            before = held_bytes() if rep == 0 else None
            t0, c0 = time.perf_counter(), time.process_time()
            try:
                state = solver.setup(A)
            except Exception as e:  # a solver that fails is reported, not dropped
                conn.send(("run", dict(status="failed", reason=f"setup: {type(e).__name__}: {e}"[:160],
                                       wall_setup=time.perf_counter() - t0,
                                       setup=time.process_time() - c0)))
                break
            t_setup, c_setup = time.perf_counter() - t0, time.process_time() - c0
            mem = None
            info = {}
            if rep == 0:
                after = held_bytes()
                if before is not None and after is not None:
                    mem = max(after - before, 0)
                info = solver.info(state, A)
            conn.send(("phase", "solve"))
            t0, c0 = time.perf_counter(), time.process_time()
            try:
                x, iters, status = solver.solve(state, A, b, TOL, deadline)
            except Exception as e:
                conn.send(("run", dict(status="failed", reason=f"solve: {type(e).__name__}: {e}"[:160],
                                       setup=c_setup, wall_setup=t_setup, mem=mem, info=info)))
                break
            t_solve, c_solve = time.perf_counter() - t0, time.process_time() - c0
            status, _, why = status.partition(": ")
            res = float(np.linalg.norm(b - A @ x) / bnorm)
            if not np.isfinite(res):
                status = "breakdown"
            elif res <= TOL:
                status = "converged"
            elif status == "converged":
                status = "stopped early"
            conn.send(("run", dict(status=status, reason=why if status != "converged" else "",
                                   setup=c_setup, solve=c_solve, wall_setup=t_setup, wall_solve=t_solve,
                                   iters=int(iters),
                                   res=res, mem=mem, info=info)))
            del state, x
            spent += time.perf_counter() - start
            if status != "converged":
                break
            if spent + (time.perf_counter() - start) > budget:
                break
    except BaseException as e:  # report anything, then exit
        try:
            conn.send(("run", dict(status="failed", reason=f"{type(e).__name__}: {e}"[:160])))
        except Exception:
            pass
    finally:
        try:
            conn.send(("done",))
        except Exception:
            pass
        conn.close()


@dataclass
class PairResult:
    problem: str
    solver: str
    runs: list = field(default_factory=list)
    status: str = ""
    reason: str = ""
    pair_wall: float = 0.0

    def ok_runs(self):
        return [r for r in self.runs if r.get("status") == "converged"]

    def median(self, key):
        runs = self.ok_runs() or [r for r in self.runs if key in r]
        vals = [r[key] for r in runs if r.get(key) is not None]
        return statistics.median(vals) if vals else None

    @property
    def converged(self):
        return self.status == "converged"

    @property
    def setup(self):
        return self.median("setup")

    @property
    def solve(self):
        return self.median("solve")

    @property
    def total(self):
        runs = self.ok_runs() or self.runs
        vals = [r["setup"] + r.get("solve", 0.0) for r in runs if r.get("setup") is not None]
        return statistics.median(vals) if vals else None

    @property
    def wall(self):
        runs = self.ok_runs() or self.runs
        vals = [r["wall_setup"] + r.get("wall_solve", 0.0) for r in runs if r.get("wall_setup") is not None]
        return statistics.median(vals) if vals else None

    @property
    def iters(self):
        return self.median("iters")

    @property
    def res(self):
        return self.runs[0].get("res") if self.runs else None

    @property
    def mem(self):
        return self.runs[0].get("mem") if self.runs else None

    @property
    def info(self):
        return self.runs[0].get("info", {}) if self.runs else {}


def run_pair(problem, solver, cap, repeats, budget):
    ctx = mp.get_context("fork")
    parent, child = ctx.Pipe(duplex=False)
    proc = ctx.Process(target=child_main, args=(child, problem, solver, cap, repeats, budget))
    started = time.perf_counter()
    proc.start()
    child.close()
    result = PairResult(problem.name, solver.name)
    phase, run_start = "start", time.perf_counter()
    hard_limit = cap + max(3.0, 0.1 * cap)  # setup phases cannot be interrupted in-process
    killed = False
    while True:
        remaining = hard_limit - (time.perf_counter() - run_start)
        if remaining <= 0:
            proc.kill()
            killed = True
            break
        if parent.poll(min(remaining, 1.0)):
            try:
                msg = parent.recv()
            except EOFError:
                break
            if msg[0] == "phase":
                if msg[1] == "setup":
                    run_start = time.perf_counter()
                phase = msg[1]
            elif msg[0] == "run":
                result.runs.append(msg[1])
            elif msg[0] == "done":
                break
        elif not proc.is_alive() and not parent.poll(0):
            break
    proc.join(5)
    if proc.is_alive():
        proc.kill()
        proc.join()
    result.pair_wall = time.perf_counter() - started
    if killed and not result.runs:
        result.status = "capped"
        result.reason = f"stopped in {phase} after {hard_limit:.0f} s"
    elif not result.runs:
        result.status = "failed"
        result.reason = f"child exited with code {proc.exitcode}"
    else:
        ok = result.ok_runs()
        first = result.runs[0]
        result.status = "converged" if ok else first["status"]
        result.reason = first.get("reason", "")
        if result.status == "capped" and not result.reason:
            result.reason = f"cap {cap:.0f} s"
    if proc.exitcode not in (0, None) and not killed and result.status != "converged":
        result.reason = (result.reason + f"; child exit code {proc.exitcode}").strip("; ")
    return result


# ---------------------------------------------------------------------------------------
# Reporting


def machine_description():
    cpu = "unknown"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    mem = "unknown"
    try:
        for line in Path("/proc/meminfo").read_text().splitlines():
            if line.startswith("MemTotal"):
                mem = f"{int(line.split()[1]) / 2**20:.1f} GiB"
    except OSError:
        pass
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    versions = {"Python": platform.python_version(), "NumPy": np.__version__}
    import scipy

    versions["SciPy"] = scipy.__version__
    try:
        import pyamg

        versions["PyAMG"] = pyamg.__version__
    except ImportError:
        versions["PyAMG"] = "not installed"
    try:
        commit = subprocess.run(["git", "-C", str(HERE), "rev-parse", "--short", "HEAD"],
                                capture_output=True, text=True, timeout=10).stdout.strip()
    except Exception:
        commit = ""
    return {
        "CPU": cpu,
        "cores": str(cores),
        "memory": mem,
        "OS": f"{platform.system()} {platform.release()}",
        **versions,
        "vorlane commit": commit or "unknown",
    }


def fmt_t(t):
    if t is None:
        return "-"
    if t >= 100:
        return f"{t:.0f}"
    if t >= 10:
        return f"{t:.1f}"
    if t >= 0.1:
        return f"{t:.2f}"
    return f"{t:.3f}"


def fmt_mem(b):
    if b is None:
        return "-"
    return f"{b / 2**20:.1f}"


def matrix_bytes(A):
    return A.data.nbytes + A.indices.nbytes + A.indptr.nbytes


def ratio_text(r, ref):
    if r.converged and ref is not None and not ref.converged and ref.status != "skipped":
        return "PyAMG n.c."
    if ref is None or not ref.converged or r.total is None or ref.total in (None, 0):
        return "-"
    ratio = r.total / ref.total
    text = f"{ratio:.2f}" if ratio >= 0.1 else f"{ratio:.2g}"
    if not r.converged:
        return f">{text}" if r.status == "capped" else "-"
    return text


def status_text(r):
    if r.status == "converged":
        return "yes"
    if r.status == "capped":
        return f"capped ({r.reason})" if r.reason else "capped"
    if r.status == "skipped":
        return f"skipped ({r.reason})"
    text = r.status
    if r.reason:
        text += f" ({r.reason})"
    return text.replace("|", "/")


def precond_text(r, A):
    info = r.info or {}
    parts = []
    if "nnz_ratio" in info:
        parts.append(f"fill {info['nnz_ratio']:.2f}x")
    if "operator_complexity" in info:
        parts.append(f"{info['levels']} lv, op.cx {info['operator_complexity']:.2f}")
    if "n_steps" in info:
        parts.append(f"{info['n_steps']} steps" + (", grounded" if info.get("augmented") else ""))
    return ", ".join(parts)


def markdown(problems, results, solvers, meta):
    lines = []
    lines.append(f"# vorlane benchmark: {meta['name']}")
    lines.append("")
    lines.append(f"Run {meta['date']}; wall time {meta['wall']:.0f} s; {meta['preset']}.")
    lines.append("")
    lines.append("Machine: " + "; ".join(f"{k} {v}" for k, v in meta["machine"].items()) + ".")
    lines.append("")
    lines.append("Every solver stops at ||b - A x|| / ||b|| <= 1e-8 (checked on the true residual). "
                 "Times are CPU seconds of the (single-threaded) process, medians over the runs "
                 "column; `wall s` is the median wall-clock total for comparison. `xPyAMG` is total "
                 "time divided by PyAMG's total on the same problem in this run (below 1 = faster "
                 "than PyAMG; `PyAMG n.c.` = PyAMG did not converge). "
                 "`mem MB` is memory allocated by setup and still held (the preconditioner), "
                 "`mem/A` its ratio to the CSR matrix's own bytes.")
    lines.append("")
    lines.append("## Problems")
    lines.append("")
    lines.append("| problem | n | nnz | kind | description | build s |")
    lines.append("|---|---:|---:|---|---|---:|")
    for p in problems:
        lines.append(f"| {p.name} | {p.n} | {p.nnz} | {p.kind} | {p.note} | {fmt_t(p.build_seconds)} |")
    lines.append("")
    lines.append("## Summary: total CPU seconds to 1e-8 (x PyAMG)")
    lines.append("")
    lines.append("| problem | " + " | ".join(s.label for s in solvers) + " |")
    lines.append("|---|" + "---:|" * len(solvers))
    for p in problems:
        ref = results.get((p.name, "pyamg-sa"))
        cells = []
        for s in solvers:
            r = results.get((p.name, s.name))
            if r is None:
                cells.append("-")
            elif r.converged:
                ratio = ratio_text(r, ref)
                if s.name == "pyamg-sa" or ratio == "-":
                    cells.append(fmt_t(r.total))
                else:
                    cells.append(f"{fmt_t(r.total)} ({ratio})")
            elif r.status == "capped":
                cells.append("capped")
            elif r.status == "skipped":
                cells.append("skipped")
            else:
                cells.append(r.status)
        lines.append(f"| {p.name} | " + " | ".join(cells) + " |")
    lines.append("")
    lines.append("## Details")
    lines.append("")
    lines.append("| problem | solver | setup s | solve s | total s | xPyAMG | wall s | iters | rel. res "
                 "| converged | mem MB | mem/A | preconditioner | runs |")
    lines.append("|---|---|---:|---:|---:|---:|---:|---:|---:|---|---:|---:|---|---:|")
    for p in problems:
        ref = results.get((p.name, "pyamg-sa"))
        abytes = matrix_bytes(p.matrix)
        for s in solvers:
            r = results.get((p.name, s.name))
            if r is None:
                continue
            mem = r.mem
            lines.append(
                f"| {p.name} | {s.label} | {fmt_t(r.setup)} | {fmt_t(r.solve)} | {fmt_t(r.total)} | "
                f"{ratio_text(r, ref)} | {fmt_t(r.wall)} | {'-' if r.iters is None else int(r.iters)} | "
                f"{'-' if r.res is None else f'{r.res:.1e}'} | {status_text(r)} | {fmt_mem(mem)} | "
                f"{'-' if mem is None else f'{mem / abytes:.2f}'} | {precond_text(r, p.matrix)} | "
                f"{len(r.runs)} |")
    lines.append("")
    return "\n".join(lines)


def plot(problems, results, solvers, path, title):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = [p.name for p in problems]
    k = len(solvers)
    width = 0.8 / k
    fig, ax = plt.subplots(figsize=(max(8, 1.2 * len(names) + 2), 5.5))
    colors = plt.get_cmap("tab10").colors
    top = 1e-3
    for j, s in enumerate(solvers):
        xs, hs, hatches = [], [], []
        for i, p in enumerate(names):
            r = results.get((p, s.name))
            if r is None or r.total is None or r.status not in ("converged", "capped"):
                continue
            xs.append(i + (j - (k - 1) / 2) * width)
            hs.append(max(r.total, 1e-3))
            hatches.append(None if r.converged else "//")
            top = max(top, r.total)
        bars = ax.bar(xs, hs, width, color=colors[j % 10], label=s.label, edgecolor="black", linewidth=0.3)
        for bar, h in zip(bars, hatches):
            if h:
                bar.set_hatch(h)
                bar.set_alpha(0.45)
    ax.set_yscale("log")
    ax.set_xticks(range(len(names)))
    ax.set_xticklabels(names, rotation=30, ha="right")
    ax.set_ylabel("total CPU seconds to 1e-8 (setup + solve), log scale")
    ax.set_title(title + "  (hatched = capped / not converged; missing = failed or skipped)")
    ax.legend(ncol=3, fontsize=8)
    ax.grid(axis="y", which="both", alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)


# ---------------------------------------------------------------------------------------


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="small problems (smoke run)")
    ap.add_argument("--problems", default="*", help="comma-separated glob patterns of problem names")
    ap.add_argument("--solvers", default="*", help="comma-separated glob patterns of solver names")
    ap.add_argument("--cap", type=float, help="seconds allowed to one run of CG, Jacobi-CG, spilu-CG")
    ap.add_argument("--strong-cap", type=float, help="seconds allowed to one run of PyAMG or vorlane")
    ap.add_argument("--repeats", type=int, help="runs per pair (median reported)")
    ap.add_argument("--budget", type=float, help="no new run of a pair starts after this many seconds")
    ap.add_argument("--name", help="results base name (default: quick or full)")
    ap.add_argument("--no-write", action="store_true", help="print only; write no results files")
    ap.add_argument("--list", action="store_true", help="list problems and solvers and exit")
    args = ap.parse_args(argv)

    size = "quick" if args.quick else "full"
    preset = dict(PRESETS[size])
    for key in ("cap", "strong_cap", "repeats", "budget"):
        if getattr(args, key) is not None:
            preset[key] = getattr(args, key)
    name = args.name or size

    def pick(items, patterns, key):
        pats = [x.strip() for x in patterns.split(",") if x.strip()]
        return [it for it in items if any(fnmatch.fnmatch(key(it), pat) for pat in pats)]

    recipes = pick(problems_mod.problem_recipes(size), args.problems, lambda s: s[0])
    solvers = pick(solvers_mod.all_solvers(), args.solvers, lambda s: s.name)
    if args.list:
        print("problems:", ", ".join(s[0] for s in problems_mod.problem_recipes(size)))
        print("solvers:", ", ".join(s.name for s in solvers_mod.all_solvers()))
        return 0
    if not recipes or not solvers:
        ap.error("no problem or no solver selected")

    wall0 = time.perf_counter()
    date = time.strftime("%Y-%m-%d %H:%M %Z")
    print(f"# {name}: {len(recipes)} problems x {len(solvers)} solvers; cap {preset['cap']:.0f} s per run "
          f"({preset['strong_cap']:.0f} s for PyAMG and vorlane), "
          f"up to {preset['repeats']} runs per pair", flush=True)
    unavailable = {s.name: s.available() for s in solvers}
    for s, why in unavailable.items():
        if why:
            print(f"  {s}: {why}", flush=True)

    problems = []
    results = {}
    for recipe in recipes:
        p = problems_mod.make_problem(recipe)
        problems.append(p)
        print(f"{p.name}: n={p.n} nnz={p.nnz} built in {p.build_seconds:.1f} s ({p.note})", flush=True)
        for s in solvers:
            if unavailable[s.name]:
                r = PairResult(p.name, s.name, status="skipped", reason=unavailable[s.name])
            else:
                cap = preset["strong_cap"] if s.strong else preset["cap"]
                r = run_pair(p, s, cap, preset["repeats"], preset["budget"])
            results[(p.name, s.name)] = r
            print(f"  {s.name:16s} {r.status:10s} setup {fmt_t(r.setup):>6s} solve {fmt_t(r.solve):>6s} "
                  f"total {fmt_t(r.total):>6s} iters {'-' if r.iters is None else int(r.iters):>6} "
                  f"res {'-' if r.res is None else f'{r.res:.1e}'} mem {fmt_mem(r.mem)} MB "
                  f"runs {len(r.runs)} {r.reason}", flush=True)
    wall = time.perf_counter() - wall0
    meta = dict(name=name, date=date, wall=wall, machine=machine_description(),
                preset=f"time cap per run {preset['cap']:.0f} s for CG, Jacobi-CG and spilu-CG, "
                       f"{preset['strong_cap']:.0f} s for PyAMG and vorlane; up to {preset['repeats']} runs per pair, "
                       f"no new run after {preset['budget']:.0f} s on a pair")
    text = markdown(problems, results, solvers, meta)
    print()
    print(text)
    if not args.no_write:
        out = HERE / "results"
        out.mkdir(exist_ok=True)
        (out / f"{name}.md").write_text(text + f"\n![total time per problem]({name}.png)\n")
        try:
            plot(problems, results, solvers, out / f"{name}.png", f"vorlane benchmark: {name}")
        except Exception as e:  # the table matters more than the picture
            print(f"plot failed: {type(e).__name__}: {e}", file=sys.stderr)
        print(f"\nwrote {out / (name + '.md')} and {name}.png", flush=True)
    print(f"total wall time {wall:.0f} s", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
