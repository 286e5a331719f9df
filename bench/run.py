"""Benchmark suite of shredder_ext: throughput and peak memory of shred_arrow / unshred_arrow
(JSON and Arrow codecs) on generated and real corpora, side by side with pyarrow, polars,
DuckDB and pandas doing the nearest equivalent job, against the limits (nlohmann/json parse,
BLAKE3, memcpy), plus a scaling curve; every process single-threaded.

Run through `make bench` (builds the module and the limits binary first), or directly:
    .venv/bin/python bench/run.py [--size-mb 20] [--repeats 5] [--no-real] [--scaling ...]
Prints one table and writes bench/results/results-<time>.json (and results-latest.json, plus a
Markdown rendering results-latest.md)."""

from __future__ import annotations

import argparse
import datetime as dt
import json
import os
import platform
import statistics
import subprocess
import sys
import time
import traceback
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import common  # noqa: E402

common.pin_threads()
common.configure_arrow()

import corpora  # noqa: E402
import jobs  # noqa: E402
import peers  # noqa: E402

REPO = HERE.parent
MB = 1e6

# Target ratios of the project, each as (key, text, test on the measured ratio).
TARGETS = (
    ("shred_vs_parse", "shred time <= 3x nlohmann parse time of the same text", "<=", 3.0),
    ("shred_vs_pyarrow", "shred time <= pyarrow read_json + flatten (+explode) time", "<=", 1.0),
    ("pandas_vs_shred", "pandas json_normalize time >= 20x shred time", ">=", 20.0),
    ("unshred_vs_shred_docs", "unshred docs/s >= shred docs/s", ">=", 1.0),
    ("peak_vs_io", "shred peak memory <= 3x (input text + output atoms)", "<=", 3.0),
)


def log(msg: str) -> None:
    print(msg, file=sys.stderr, flush=True)


# --- environment ------------------------------------------------------------------------------

def machine_info() -> dict:
    info = {"python": platform.python_version(), "platform": platform.platform()}
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    info["cpu"] = line.split(":", 1)[1].strip()
                    break
        info["cores_online"] = os.cpu_count()
        with open("/proc/meminfo") as f:
            info["mem_total_gib"] = round(int(f.readline().split()[1]) / 2**20, 1)
    except OSError:
        pass
    versions = {}
    for mod in ("pyarrow", "polars", "duckdb", "pandas", "numpy"):
        try:
            versions[mod] = __import__(mod).__version__
        except Exception as e:  # noqa: BLE001
            versions[mod] = f"unavailable ({e})"
    info["versions"] = versions
    try:
        info["commit"] = subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=REPO,
                                        capture_output=True, text=True).stdout.strip()
    except OSError:
        pass
    info["threads_env"] = {k: os.environ.get(k) for k in common.THREAD_ENV}
    return info


def shredder_available() -> tuple[object | None, str]:
    try:
        import shredder_ext as ext
    except ImportError as e:
        return None, f"shredder_ext not importable: {e}"
    if not hasattr(ext, "create_controller"):
        return None, "shredder_ext has no create_controller yet"
    return ext, ""


# --- corpora ----------------------------------------------------------------------------------

class Corpus:
    def __init__(self, name: str, kind: str, path: Path, note: str = ""):
        self.name, self.kind, self.path, self.note = name, kind, path, note
        data = path.read_bytes()
        self.bytes = len(data)
        lines = data.splitlines()
        self.docs = sum(1 for x in lines if x)
        self.max_line = max((len(x) for x in lines), default=0)
        self.refused: dict[str, int] = {}
        self.refused_count = 0
        self.source_docs = self.docs


def one_row_batch(line: str):
    import pyarrow as pa
    return pa.RecordBatch.from_arrays([pa.array([line], pa.utf8())], names=["doc"])


def find_refused(ext, lines: list[str]) -> dict[int, str]:
    """Documents the shredder refuses, found one document at a time. A refused document is
    dropped and the search starts over on a fresh pipeline with the rest, until none is
    refused; each round runs the documents twice in a row on one pipeline, as the warm-up and
    the timed runs do, since what the pipeline learns from later documents can refuse earlier
    ones."""
    refused: dict[int, str] = {}
    kept = list(range(len(lines)))
    while True:
        handle = ext.create_controller("json")
        bad: dict[int, str] = {}
        for _ in range(2):
            for i in kept:
                if i in bad:
                    continue
                try:
                    ext.shred_arrow(handle, one_row_batch(lines[i]))
                except ValueError as e:
                    bad[i] = str(e)
        if not bad:
            return refused
        refused.update(bad)
        kept = [i for i in kept if i not in bad]


def _reason(msg: str) -> str:
    """A refusal message with its document-specific tail cut (paths and names kept short)."""
    msg = msg.removeprefix("shred failed: ")
    return msg if len(msg) <= 90 else msg[:87] + "..."


def build_generated(args, work: Path) -> list[Corpus]:
    out = []
    for shape in args.shapes:
        path = work / f"{shape}-{args.size_mb:g}MB-s{args.seed}.jsonl"
        t0 = time.perf_counter()
        corpora.write_generated(path, shape, size_bytes=int(args.size_mb * MB), seed=args.seed)
        c = Corpus(shape, "generated", path)
        log(f"corpus {shape}: {c.docs} docs, {c.bytes / MB:.1f} MB "
            f"({time.perf_counter() - t0:.1f}s)")
        out.append(c)
    return out


def build_real(args, work: Path, ext, skipped: list) -> list[Corpus]:
    out = []
    for src in corpora.real_files(Path(args.real_dir)):
        cut = corpora.cut_real_file(src)
        if not cut.lines:
            skipped.append({"corpus": cut.name, "reason": f"no object documents ({cut.how}; "
                            f"{cut.not_objects} non-object pieces)"})
            continue
        refused = find_refused(ext, cut.lines) if ext else {}
        path = work / f"real-{cut.name}.jsonl"
        with open(path, "w", encoding="utf-8", newline="\n") as f:
            for i, line in enumerate(cut.lines):
                if i not in refused:
                    f.write(line + "\n")
        if len(refused) == len(cut.lines):
            skipped.append({"corpus": cut.name, "reason": f"all {len(cut.lines)} documents "
                            f"refused: {_reason(next(iter(refused.values())))}"})
            continue
        c = Corpus(cut.name, "real", path, cut.how)
        c.source_docs = len(cut.lines)
        c.refused_count = len(refused)
        for msg in refused.values():
            c.refused[_reason(msg)] = c.refused.get(_reason(msg), 0) + 1
        if cut.not_objects:
            c.note += f"; {cut.not_objects} non-object pieces dropped"
        log(f"corpus real/{c.name}: {c.docs} docs kept of {c.source_docs}, "
            f"{c.bytes / MB:.2f} MB")
        out.append(c)
    return out


# --- measuring --------------------------------------------------------------------------------

def run_memchild(job: str, c: Corpus, batch_docs: int, cap: int | None, timeout: float) -> dict:
    cmd = [sys.executable, str(HERE / "memchild.py"), job, str(c.path), str(batch_docs),
           str(c.max_line), "none" if cap is None else str(cap)]
    try:
        p = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"error": f"memory child timed out after {timeout:.0f}s"}
    if p.returncode != 0:
        tail = (p.stderr.strip().splitlines() or ["?"])[-1]
        return {"error": f"memory child failed: {tail[:200]}"}
    return json.loads(p.stdout.strip().splitlines()[-1])


def run_limits(binary: Path, c: Corpus, repeats: int) -> dict:
    if not binary.exists():
        return {"error": f"limits binary {binary} not built"}
    p = subprocess.run([str(binary), str(c.path), str(repeats)], capture_output=True, text=True)
    if p.returncode != 0:
        return {"error": f"limits binary failed: {p.stderr.strip()[:200]}"}
    return json.loads(p.stdout)


def time_job(job: str, c: Corpus, args, cap: int | None) -> dict:
    try:
        prepared = jobs.prepare(job, str(c.path), batch_docs=args.batch_docs,
                                max_line=c.max_line, cell_cap=cap)
    except Exception as e:  # noqa: BLE001
        return {"error": f"cannot prepare input: {type(e).__name__}: {str(e)[:160]}"}
    try:
        t, samples, summary = common.median_time(prepared.run, args.repeats, args.min_sample)
    except Exception as e:  # noqa: BLE001
        msg = f"{type(e).__name__}: {str(e)[:160]}"
        if args.verbose:
            traceback.print_exc()
        return {"error": msg}
    res = {"seconds": t, "samples": samples, "summary": summary,
           "mb_per_s": c.bytes / MB / t, "docs_per_s": c.docs / t}
    if prepared.extra.get("atoms"):
        res["atoms"] = prepared.extra["atoms"]
    cells = (res.get("atoms") or summary).get("cells", 0)
    res["cells_per_s"] = cells / t
    return res


def measure_corpus(c: Corpus, args, ext, limits_bin: Path) -> dict:
    r: dict = {"name": c.name, "kind": c.kind, "bytes": c.bytes, "docs": c.docs,
               "source_docs": c.source_docs, "refused": c.refused_count,
               "refused_reasons": c.refused, "note": c.note, "jobs": {}, "memory": {}}
    cap = args.peer_cell_cap if c.kind == "real" else None
    job_list = []
    if ext:
        job_list += list(jobs.SHREDDER_JOBS)
    job_list += [f"peer_{p}" for p in args.peers]
    for job in job_list:
        if job == "unshred_arrow" and "error" in r["jobs"].get("shred_arrow", {}):
            r["jobs"][job] = {"error": "no Arrow input (see shred_arrow)"}
            continue
        t0 = time.perf_counter()
        r["jobs"][job] = time_job(job, c, args, cap)
        state = r["jobs"][job].get("error") or f"{r['jobs'][job]['mb_per_s']:.2f} MB/s"
        log(f"  {c.name:>28} {job:<14} {state}  ({time.perf_counter() - t0:.1f}s)")
    r["limits"] = run_limits(limits_bin, c, args.repeats)
    if not args.no_memory:
        mem_jobs = [j for j in job_list if not j.startswith("peer_") or c.kind == "generated"]
        for job in mem_jobs:
            if "error" in r["jobs"].get(job, {}):
                continue
            r["memory"][job] = run_memchild(job, c, args.batch_docs, cap, args.child_timeout)
    return r


def measure_scaling(args, ext, work: Path) -> list[dict]:
    out = []
    for n in args.scaling:
        path = work / f"{args.scaling_shape}-{n}docs-s{args.seed}.jsonl"
        t0 = time.perf_counter()
        corpora.write_generated(path, args.scaling_shape, docs=n, seed=args.seed)
        c = Corpus(f"{args.scaling_shape}-{n}", "scaling", path)
        log(f"scaling {c.name}: {c.bytes / MB:.1f} MB ({time.perf_counter() - t0:.1f}s)")
        sub = argparse.Namespace(**vars(args))
        sub.batch_docs = n             # one batch: the whole set in one call
        sub.repeats = args.repeats if n < 1_000_000 else max(1, min(args.repeats, 3))
        row = {"docs": n, "bytes": c.bytes, "jobs": {}, "memory": {}}
        for job in ("shred_json", "unshred_json"):
            row["jobs"][job] = time_job(job, c, sub, None)
            j = row["jobs"][job]
            if "error" not in j:
                j["us_per_doc"] = j["seconds"] / n * 1e6
            log(f"  scaling {n:>8} {job:<13} "
                f"{j.get('error') or format(j['us_per_doc'], '.2f') + ' us/doc'}")
        if not args.no_memory:
            m = run_memchild("shred_json", c, n, None, args.child_timeout)
            if "error" not in m:
                m["peak_bytes_per_doc"] = m["peak_bytes"] / n
            row["memory"]["shred_json"] = m
        out.append(row)
    return out


# --- ratios and targets -----------------------------------------------------------------------

def _t(r: dict, job: str) -> float | None:
    j = r["jobs"].get(job, {})
    return j.get("seconds")


def ratios(r: dict) -> dict:
    out = {}
    shred, unshred = _t(r, "shred_json"), _t(r, "unshred_json")
    lim = r.get("limits", {})
    if shred and lim.get("parse_ns"):
        out["shred_vs_parse"] = shred / (lim["parse_ns"] * 1e-9)
    if shred and _t(r, "peer_pyarrow"):
        out["shred_vs_pyarrow"] = shred / _t(r, "peer_pyarrow")
    if shred and _t(r, "peer_pandas"):
        out["pandas_vs_shred"] = _t(r, "peer_pandas") / shred
    if shred and unshred:
        out["unshred_vs_shred_docs"] = shred / unshred
    mem = r.get("memory", {}).get("shred_json", {})
    atoms = r["jobs"].get("shred_json", {}).get("summary", {}).get("out_bytes")
    if "peak_bytes" in mem and atoms is not None:
        out["peak_vs_io"] = mem["peak_bytes"] / (mem["resident_bytes"] + atoms)
    return out


def judge(value: float, op: str, bound: float) -> bool:
    return value <= bound if op == "<=" else value >= bound


def targets(results: list[dict], headline: str) -> list[dict]:
    rows = []
    for key, text, op, bound in TARGETS:
        per = {r["name"]: r["ratios"][key] for r in results
               if r["kind"] == "generated" and key in r["ratios"]}
        head = next((r["ratios"].get(key) for r in results if r["name"] == headline), None)
        rows.append({
            "target": key, "text": text, "op": op, "bound": bound,
            "headline_corpus": headline, "headline": head,
            "met": None if head is None else judge(head, op, bound),
            "met_on_all_generated": (all(judge(v, op, bound) for v in per.values())
                                     if per else None),
            "per_corpus": per,
        })
    return rows


# --- output -----------------------------------------------------------------------------------

JOB_LABEL = {
    "shred_json": "shred (json)", "unshred_json": "unshred (json)",
    "shred_arrow": "shred (arrow)", "unshred_arrow": "unshred (arrow)",
    "peer_pyarrow": "pyarrow", "peer_polars": "polars", "peer_duckdb": "duckdb",
    "peer_pandas": "pandas",
}


def _fmt(v, spec: str) -> str:
    return "-" if v is None else format(v, spec)


def _rate(v: float) -> str:
    return format(v, ",.0f") if v >= 100 else format(v, ".3g")


def table_rows(r: dict) -> list[list[str]]:
    """One line per job of a corpus: MB/s, docs/s, Mcells/s, peak MB, peak over
    (input + output), time relative to shred (json)."""
    rows = []
    base = _t(r, "shred_json")
    for job, label in JOB_LABEL.items():
        j = r["jobs"].get(job)
        if j is None:
            continue
        if "error" in j:
            rows.append([r["name"], label, "-", "-", "-", "-", "-", "-", "failed: " + j["error"]])
            continue
        m = r["memory"].get(job, {})
        peak = m.get("peak_bytes")
        out_b = j["summary"].get("out_bytes")
        io = None
        if peak is not None and out_b is not None:
            io = peak / (m["resident_bytes"] + out_b)
        rows.append([r["name"], label, _fmt(j["mb_per_s"], ".2f"), _rate(j["docs_per_s"]),
                     _fmt(j["cells_per_s"] / 1e6, ".2f"),
                     _fmt(None if peak is None else peak / MB, ".1f"), _fmt(io, ".2f"),
                     _fmt(None if not base else j["seconds"] / base, ".2f"),
                     m.get("error", "")])
    lim = r.get("limits", {})
    if "error" in lim:
        rows.append([r["name"], "limits", "-", "-", "-", "-", "-", "-", "failed: " + lim["error"]])
    else:
        for key, label in (("parse_ns", "nlohmann parse"), ("dump_ns", "nlohmann dump"),
                           ("blake3_docs_ns", "BLAKE3 per doc"), ("blake3_all_ns", "BLAKE3 all"),
                           ("memcpy_ns", "memcpy")):
            if key in lim:
                s = lim[key] * 1e-9
                rows.append([r["name"], label, _fmt(r["bytes"] / MB / s, ".2f"),
                             _rate(r["docs"] / s), "", "", "",
                             _fmt(None if not base else s / base, ".3f"), ""])
    return rows


HEADER = ["corpus", "job", "MB/s", "docs/s", "Mcells/s", "peak MB", "peak/(in+out)",
          "time / shred", "note"]


def render_text(rows: list[list[str]]) -> str:
    widths = [max(len(str(x[i])) for x in [HEADER] + rows) for i in range(len(HEADER) - 1)]
    lines = ["  ".join(str(h).ljust(w) for h, w in zip(HEADER, widths)) + "  " + HEADER[-1]]
    lines.append("  ".join("-" * w for w in widths))
    prev = None
    for row in rows:
        if prev is not None and row[0] != prev:
            lines.append("")
        prev = row[0]
        lines.append("  ".join(str(x).ljust(w) if i < 2 else str(x).rjust(w)
                               for i, (x, w) in enumerate(zip(row[:-1], widths))) +
                     ("  " + row[-1] if row[-1] else ""))
    return "\n".join(lines)


def render_md(rows: list[list[str]]) -> str:
    lines = ["| " + " | ".join(HEADER) + " |",
             "|" + "|".join(["---", "---"] + ["---:"] * (len(HEADER) - 3) + ["---"]) + "|"]
    for row in rows:
        lines.append("| " + " | ".join(str(x).replace("|", "\\|") for x in row) + " |")
    return "\n".join(lines)


def render_real_md(results: list[dict]) -> str:
    """The real files condensed: one line per file, MB/s of every job (or why it failed)."""
    jobs_ = list(JOB_LABEL)
    head = ["file", "docs (refused)", "MB"] + [JOB_LABEL[j] for j in jobs_] + \
        ["shred peak MB", "nlohmann parse"]
    lines = ["| " + " | ".join(head) + " |", "|---|---:|" + "---:|" * (len(head) - 2)]
    for r in results:
        if r["kind"] != "real":
            continue
        cells = [r["name"], f"{r['docs']} ({r['refused']})", f"{r['bytes'] / MB:.2f}"]
        for j in jobs_:
            job = r["jobs"].get(j, {})
            if "error" in job:
                err = job["error"]
                cells.append("cell cap" if "CellCapExceeded" in err else "failed")
            else:
                cells.append(_fmt(job.get("mb_per_s"), ".2f"))
        mem = r["memory"].get("shred_json", {})
        cells.append(_fmt(None if "peak_bytes" not in mem else mem["peak_bytes"] / MB, ".1f"))
        lim = r.get("limits", {})
        cells.append(_fmt(r["bytes"] / MB / (lim["parse_ns"] * 1e-9) if "parse_ns" in lim
                          else None, ".2f"))
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def render_failures_md(results: list[dict], skipped: list[dict]) -> str:
    out = []
    for s in skipped:
        out.append(f"- {s['corpus']}: skipped, {s['reason']}")
    for r in results:
        if r["refused"]:
            out.append(f"- {r['name']}: {r['refused']} of {r['source_docs']} documents refused "
                       "by the shredder: " + "; ".join(f"{n}x \"{m}\""
                                                      for m, n in r["refused_reasons"].items()))
        for j, job in r["jobs"].items():
            if "error" in job:
                out.append(f"- {r['name']}, {JOB_LABEL[j]}: {job['error']}")
    return "\n".join(out)


def render_targets(ts: list[dict], md: bool) -> str:
    out = []
    if md:
        out += ["| target | measured on " + ts[0]["headline_corpus"] + " | met | all generated "
                "corpora | per corpus |", "|---|---:|---|---|---|"]
    for t in ts:
        head = _fmt(t["headline"], ".2f")
        met = {True: "met", False: "MISSED", None: "not measured"}[t["met"]]
        allg = {True: "met", False: "missed", None: "-"}[t["met_on_all_generated"]]
        per = ", ".join(f"{k} {v:.2f}" for k, v in t["per_corpus"].items())
        if md:
            out.append(f"| {t['text']} | {head} | {met} | {allg} | {per} |")
        else:
            out.append(f"  {met:<12} {t['text']}: {head} on {t['headline_corpus']} "
                       f"(all generated: {allg}; {per})")
    return "\n".join(out)


def render_scaling(rows: list[dict], md: bool) -> str:
    head = ["docs", "MB", "shred us/doc", "unshred us/doc", "shred peak MB",
            "peak bytes/doc"]
    body = []
    for r in rows:
        m = r["memory"].get("shred_json", {})
        body.append([f"{r['docs']:,}", f"{r['bytes'] / MB:.1f}",
                     _fmt(r["jobs"]["shred_json"].get("us_per_doc"), ".2f"),
                     _fmt(r["jobs"]["unshred_json"].get("us_per_doc"), ".2f"),
                     _fmt(None if "peak_bytes" not in m else m["peak_bytes"] / MB, ".1f"),
                     _fmt(m.get("peak_bytes_per_doc"), ",.0f")])
    if md:
        return "\n".join(["| " + " | ".join(head) + " |", "|" + "---:|" * len(head)] +
                         ["| " + " | ".join(b) + " |" for b in body])
    return "\n".join(["  " + "  ".join(h.rjust(14) for h in head)] +
                     ["  " + "  ".join(x.rjust(14) for x in b) for b in body])


# --- main -------------------------------------------------------------------------------------

def default_real_dir() -> str:
    for base in (REPO.parent, REPO.parent.parent):
        cand = base / "shared" / "data" / "real"
        if cand.is_dir():
            return str(cand)
    return str(REPO.parent / "shared" / "data" / "real")


def parse_args(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--size-mb", type=float, default=20.0,
                   help="size of each generated corpus in MB of JSON text (default 20)")
    p.add_argument("--shapes", nargs="+", default=list(corpora.SHAPES), choices=corpora.SHAPES)
    p.add_argument("--seed", type=int, default=8)
    p.add_argument("--repeats", type=int, default=5, help="timed runs after the warm-up")
    p.add_argument("--min-sample", type=float, default=0.05,
                   help="small inputs are run in a loop so that one sample lasts this long")
    p.add_argument("--batch-docs", type=int, default=10_000,
                   help="documents per record batch handed to shred_arrow (default 10000)")
    p.add_argument("--peers", nargs="*", default=list(peers.PEERS), choices=list(peers.PEERS))
    p.add_argument("--real-dir", default=default_real_dir(),
                   help="real files (default: ../shared/data/real from the repository root, "
                        "or from its parent for a git worktree)")
    p.add_argument("--no-real", action="store_true", help="skip the real files")
    p.add_argument("--peer-cell-cap", type=int, default=2_000_000,
                   help="on real files, a peer whose explode would exceed this many cells "
                        "is stopped and reported as failed")
    p.add_argument("--scaling", type=int, nargs="*", default=[10_000, 100_000, 1_000_000],
                   help="document counts of the scaling curve (none to skip)")
    p.add_argument("--scaling-shape", default="flat", choices=corpora.SHAPES)
    p.add_argument("--no-memory", action="store_true", help="skip the peak-memory children")
    p.add_argument("--child-timeout", type=float, default=900.0)
    p.add_argument("--limits-bin", default=str(REPO / "build" / "bench" / "cpp" / "bench_limits"))
    p.add_argument("--work-dir", default=str(REPO / "build" / "bench" / "corpora"))
    p.add_argument("--results-dir", default=str(HERE / "results"))
    p.add_argument("--headline", default="mixed",
                   help="corpus on which the targets are judged (default mixed)")
    p.add_argument("--verbose", action="store_true")
    return p.parse_args(argv)


def main(argv=None) -> int:
    args = parse_args(argv)
    started = time.time()
    work = Path(args.work_dir)
    work.mkdir(parents=True, exist_ok=True)
    ext, why = shredder_available()
    if not ext:
        log(f"warning: {why}; measuring the peers and the limits only")
    info = machine_info()
    log(f"machine: {info.get('cpu')}, {info.get('cores_online')} cores, "
        f"{info.get('mem_total_gib')} GiB; single-threaded runs")

    skipped: list[dict] = []
    cs = build_generated(args, work)
    if not args.no_real:
        if Path(args.real_dir).is_dir():
            cs += build_real(args, work, ext, skipped)
        else:
            log(f"warning: no real files at {args.real_dir}; skipping them")
            skipped.append({"corpus": "real files", "reason": f"{args.real_dir} not found"})

    results = []
    for c in cs:
        log(f"measuring {c.kind}/{c.name} ({c.docs} docs, {c.bytes / MB:.2f} MB)")
        r = measure_corpus(c, args, ext, Path(args.limits_bin))
        r["ratios"] = ratios(r)
        results.append(r)
    scaling = measure_scaling(args, ext, work) if ext and args.scaling else []
    ts = targets(results, args.headline)

    rows = [row for r in results for row in table_rows(r)]
    print(render_text(rows))
    if skipped:
        print("\nskipped corpora:")
        for s in skipped:
            print(f"  {s['corpus']}: {s['reason']}")
    refused = [r for r in results if r["refused"]]
    if refused:
        print("\ndocuments the shredder refused (dropped from every job's input):")
        for r in refused:
            print(f"  {r['name']}: {r['refused']} of {r['source_docs']}: " +
                  "; ".join(f"{n}x {m}" for m, n in r["refused_reasons"].items()))
    if scaling:
        print(f"\nscaling ({args.scaling_shape}, one batch per size):")
        print(render_scaling(scaling, md=False))
    print("\ntargets (time ratios measured in this run, one thread):")
    print(render_targets(ts, md=False))

    doc = {"started": dt.datetime.fromtimestamp(started).isoformat(timespec="seconds"),
           "duration_s": round(time.time() - started, 1), "argv": sys.argv[1:],
           "args": vars(args), "machine": info, "shredder": why or "ok",
           "peer_notes": peers.NOTES, "memory_method": common.MEMORY_METHOD,
           "corpora": results, "skipped": skipped, "scaling": scaling, "targets": ts}
    rdir = Path(args.results_dir)
    rdir.mkdir(parents=True, exist_ok=True)
    stamp = dt.datetime.fromtimestamp(started).strftime("%Y%m%d-%H%M%S")
    text = json.dumps(doc, indent=1, default=str)
    (rdir / f"results-{stamp}.json").write_text(text)
    (rdir / "results-latest.json").write_text(text)
    gen_rows = [row for r in results if r["kind"] == "generated" for row in table_rows(r)]
    md = ["## Throughput and memory (generated corpora)", "", render_md(gen_rows), "",
          "## Real files (MB/s)", "", render_real_md(results), "",
          "## Skipped, refused, failed", "", render_failures_md(results, skipped), ""]
    if scaling:
        md += [f"## Scaling ({args.scaling_shape})", "", render_scaling(scaling, md=True), ""]
    md += ["## Targets", "", render_targets(ts, md=True), ""]
    (rdir / "results-latest.md").write_text("\n".join(md))
    log(f"results: {rdir / f'results-{stamp}.json'} ({doc['duration_s']}s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
