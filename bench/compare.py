#!/usr/bin/env python3
"""Compares vellix with common Python PDF text extractors over a corpus of PDF files.

For every tool that is installed it prints the total time, pages per second, the speed ratio
to vellix over the files both open, and peak memory. Each tool runs in a subprocess of its own,
so its peak resident size (getrusage) is its own. Peers and their workloads:

  pymupdf     page.get_text("dict") on every page (text and images, like vellix.extract)
  pypdfium2   a text page and its whole text for every page
  pdfminer    pdfminer.six extract_pages (full layout analysis)
  pypdf       page.extract_text() on every page

vellix runs single-threaded (extract with page_parallel=False, images included) and in parallel
(one extract_many call over the whole corpus, images included, file_parallel=True); the
parallel speed-up compares the best whole pass of each. Ratios to peers compare, file by file,
the best time of each tool.

Setting up the peers (they are benchmark tools only, never project dependencies):

  python3 bench/compare.py --setup-venv build/bench-venv     # creates the venv, installs, runs

or, with a venv that already has them:

  build/bench-venv/bin/python bench/compare.py --vellix-path build/release

Page counts come from the corpus MANIFEST.tsv (column "pages") where it has one, else from the
tool itself, so every tool's pages per second counts the same pages.
"""
import argparse
import json
import os
import pathlib
import resource
import signal
import subprocess
import sys
import time

REPO = pathlib.Path(__file__).resolve().parents[1]
DEFAULT_CORPUS = REPO.parent / "shared" / "corpus"
PEER_PACKAGES = ["pymupdf", "pypdfium2", "pdfminer.six", "pypdf"]
TOOLS = ["vellix", "vellix-many", "pymupdf", "pypdfium2", "pdfminer", "pypdf"]


# ---- Child side: one tool over the files named on stdin ----

class FileTimeout(Exception):
    pass


def _alarm(signum, frame):
    raise FileTimeout()


def tool_runner(tool):
    """A function path -> page count (or None when the tool does not report pages)."""
    if tool == "vellix":
        import vellix

        def run(path):
            vellix.extract(path, page_parallel=False)
            return None
        return run
    if tool == "pymupdf":
        import pymupdf

        def run(path):
            doc = pymupdf.open(path)
            try:
                n = 0
                for page in doc:
                    page.get_text("dict")
                    n += 1
                return n
            finally:
                doc.close()
        return run
    if tool == "pypdfium2":
        import pypdfium2 as pdfium

        def run(path):
            pdf = pdfium.PdfDocument(path)
            try:
                n = len(pdf)
                for i in range(n):
                    page = pdf[i]
                    text_page = page.get_textpage()
                    text_page.get_text_range()
                    text_page.close()
                    page.close()
                return n
            finally:
                pdf.close()
        return run
    if tool == "pdfminer":
        from pdfminer.high_level import extract_pages

        def run(path):
            return sum(1 for _ in extract_pages(path))
        return run
    if tool == "pypdf":
        from pypdf import PdfReader

        def run(path):
            reader = PdfReader(path)
            n = 0
            for page in reader.pages:
                page.extract_text()
                n += 1
            return n
        return run
    raise ValueError(tool)


def child_main(tool, runs, per_file_timeout):
    files = json.load(sys.stdin)
    out = {"tool": tool, "files": {}}
    if tool == "vellix-many":
        import vellix
        best = None
        opened = {}
        for _ in range(runs):
            start = time.perf_counter()
            result = vellix.extract_many(files, include_images=True)
            secs = time.perf_counter() - start
            best = secs if best is None else min(best, secs)
            opened = {path: value != [] for path, value in result}
            del result
        out["total"] = best
        out["files"] = {p: {"ok": ok, "secs": 0.0, "pages": None} for p, ok in opened.items()}
    else:
        try:
            run = tool_runner(tool)
        except ImportError as e:
            print(json.dumps({"tool": tool, "missing": str(e)}))
            return
        signal.signal(signal.SIGALRM, _alarm)
        records = {path: {"ok": True, "secs": None, "pages": None} for path in files}
        passes = []
        # Whole passes over the corpus: the best pass is what extract_many is compared with;
        # the best time of each file is what the peers are compared with.
        for _ in range(runs):
            pass_secs = 0.0
            for path in files:
                record = records[path]
                if not record["ok"]:
                    continue
                signal.alarm(per_file_timeout)
                start = time.perf_counter()
                try:
                    pages = run(path)
                except FileTimeout:
                    record.update(ok=False, timeout=True)
                    continue
                except Exception:  # the tool cannot read this file
                    record["ok"] = False
                    continue
                finally:
                    signal.alarm(0)
                secs = time.perf_counter() - start
                pass_secs += secs
                record["pages"] = pages
                record["secs"] = secs if record["secs"] is None else min(record["secs"], secs)
            passes.append(pass_secs)
        for record in records.values():
            if not record["ok"]:
                record["secs"] = None
        out["files"] = records
        out["best_pass"] = min(passes) if passes else None
    out["maxrss_kb"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps(out))


# ---- Parent side ----

def manifest_pages(corpus):
    pages = {}
    manifest = corpus / "MANIFEST.tsv"
    if not manifest.is_file():
        return pages
    lines = manifest.read_text(encoding="utf-8", errors="replace").splitlines()
    header = lines[0].split("\t")
    if "path" not in header or "pages" not in header:
        return pages
    ip, ig = header.index("path"), header.index("pages")
    for line in lines[1:]:
        cols = line.split("\t")
        if len(cols) > max(ip, ig) and cols[ig].strip().isdigit():
            pages[str(corpus / cols[ip])] = int(cols[ig])
    return pages


def run_tool(tool, files, args):
    env = dict(os.environ)
    if args.vellix_path:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [args.vellix_path, env.get("PYTHONPATH")]))
    runs = args.slow_runs if tool in ("pdfminer", "pypdf") else args.runs
    cmd = [sys.executable, str(pathlib.Path(__file__).resolve()), "--child", tool,
           "--runs", str(runs), "--per-file-timeout", str(args.per_file_timeout)]
    proc = subprocess.run(cmd, input=json.dumps(files), capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        return {"tool": tool, "missing": "child failed: " + proc.stderr.strip()[-300:]}
    return json.loads(proc.stdout.strip().splitlines()[-1])


def fmt_rate(pages, secs):
    return "%9.1f" % (pages / secs) if secs else "      n/a"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("folder", nargs="?", help="folder of PDF files (default: --corpus)")
    parser.add_argument("--corpus", default=str(DEFAULT_CORPUS))
    parser.add_argument("--slow", type=float, default=5.0,
                        help="files any tool needs more seconds for are left out of the summary")
    parser.add_argument("--runs", type=int, default=3, help="runs per file; the best counts")
    parser.add_argument("--slow-runs", type=int, default=1, help="runs per file for pdfminer, pypdf")
    parser.add_argument("--per-file-timeout", type=int, default=60)
    parser.add_argument("--tools", default=",".join(TOOLS))
    parser.add_argument("--vellix-path", help="directory holding the built vellix module")
    parser.add_argument("--setup-venv", help="create this venv with the peers, then run in it")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.child:
        child_main(args.child, args.runs, args.per_file_timeout)
        return
    if args.setup_venv:
        venv = pathlib.Path(args.setup_venv)
        python = venv / "bin" / "python"
        if not python.exists():
            subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True)
        subprocess.run([str(python), "-m", "pip", "install", "-q", *PEER_PACKAGES], check=True)
        rest = [a for a in sys.argv[1:]]
        i = rest.index("--setup-venv")
        del rest[i:i + 2]
        os.execv(str(python), [str(python), str(pathlib.Path(__file__).resolve()), *rest])

    corpus = pathlib.Path(args.folder or args.corpus)
    files = sorted(str(p) for p in corpus.rglob("*") if p.is_file() and p.suffix.lower() == ".pdf")
    if not files:
        sys.exit("no PDF files under %s" % corpus)
    ref_pages = manifest_pages(corpus)
    tools = [t for t in args.tools.split(",") if t]

    results = {}
    for tool in tools:
        print("running %s ..." % tool, file=sys.stderr, flush=True)
        results[tool] = run_tool(tool, files, args)

    def pages_of(tool, path):
        # The manifest's count, else the count of any tool that reports one (vellix does not).
        if path in ref_pages:
            return ref_pages[path]
        counts = [results[t]["files"].get(path, {}).get("pages") or 0 for t in results
                  if "missing" not in results[t]]
        return max(counts, default=0)

    base = results.get("vellix")
    if not base or "missing" in base:
        sys.exit("vellix is not importable: %s" % (base or {}).get("missing"))
    vellix_ok = {p for p, r in base["files"].items() if r["ok"]}
    vellix_secs = sum(base["files"][p]["secs"] for p in vellix_ok)
    vellix_pages = sum(pages_of("vellix", p) for p in vellix_ok)

    print("\n%d files in %s" % (len(files), corpus))
    print("%-12s %6s %6s %9s %9s | %-38s | %8s" % (
        "tool", "files", "pages", "time s", "pages/s", "vs vellix over files both open", "peak MB"))
    for tool in tools:
        res = results[tool]
        if "missing" in res:
            print("%-12s not available (%s)" % (tool, res["missing"][:60]))
            continue
        rss = res["maxrss_kb"] / 1024
        if tool == "vellix-many":
            ok = {p for p, r in res["files"].items() if r["ok"]}
            pages = sum(pages_of("vellix", p) for p in ok)
            # A whole pass of vellix.extract over the corpus against one extract_many call.
            speedup = (base["best_pass"] / res["total"]) if res["total"] else 0
            print("%-12s %6d %6d %9.3f %s | %-38s | %8.1f" % (
                tool, len(ok), pages, res["total"], fmt_rate(pages, res["total"]),
                "%.2fx vellix single-threaded" % speedup, rss))
            continue
        ok = {p for p, r in res["files"].items() if r["ok"]}
        secs = sum(res["files"][p]["secs"] for p in ok)
        pages = sum(pages_of(tool, p) for p in ok)
        timeouts = sum(1 for r in res["files"].values() if r.get("timeout"))
        common = ok & vellix_ok
        if tool == "vellix":
            ratio = "(the reference)"
        elif common:
            # The total ratio is what a user of the whole corpus sees; the median per-file
            # ratio is not swayed by one file that a tool handles very slowly.
            t_secs = sum(res["files"][p]["secs"] for p in common)
            v_secs = sum(base["files"][p]["secs"] for p in common)
            per_file = sorted(res["files"][p]["secs"] / base["files"][p]["secs"]
                              for p in common if base["files"][p]["secs"] > 0)
            median = per_file[len(per_file) // 2] if per_file else 0
            ratio = ("%.1fx slower, median %.1fx (%d files)" % (t_secs / v_secs, median, len(common))
                     if v_secs else "n/a")
        else:
            ratio = "no file in common"
        note = " (%d timeouts)" % timeouts if timeouts else ""
        print("%-12s %6d %6d %9.3f %s | %-38s | %8.1f%s" % (
            tool, len(ok), pages, secs, fmt_rate(pages, secs), ratio, rss, note))
    print(summary_line(results, pages_of, args.slow))


def summary_line(results, pages_of, slow):
    """One line of ratios over the files that vellix, PyMuPDF and pypdfium2 all read, leaving
    out (and naming) the files any tool needed more than `slow` seconds for."""
    peers = [t for t in ("vellix", "pymupdf", "pypdfium2") if t in results and "missing" not in results[t]]
    common = set.intersection(*({p for p, r in results[t]["files"].items() if r["ok"]} for t in peers))
    slow_files = sorted(p for p in common if any(results[t]["files"][p]["secs"] > slow for t in peers))
    kept = common - set(slow_files)

    def rate(tool):
        secs = sum(results[tool]["files"][p]["secs"] for p in kept)
        return sum(pages_of("vellix", p) for p in kept) / secs if secs else 0.0

    parts = ["summary %d files" % len(kept)]
    v = rate("vellix")
    for peer in peers[1:]:
        r = rate(peer)
        parts.append("vellix/%s %.2fx" % (peer, v / r if r else 0.0))
    many = results.get("vellix-many")
    if many and "missing" not in many and many.get("total"):
        parts.append("extract_many/single %.2fx" % (results["vellix"]["best_pass"] / many["total"]))
    if "pymupdf" in peers:
        parts.append("peak MB vellix %.0f pymupdf %.0f" % (
            max(results[t]["maxrss_kb"] for t in ("vellix", "vellix-many") if t in results
                and "missing" not in results[t]) / 1024,
            results["pymupdf"]["maxrss_kb"] / 1024))
    parts.append("slow left out: %s" % (", ".join(pathlib.Path(p).name for p in slow_files) or "none"))
    return " | ".join(parts)


if __name__ == "__main__":
    main()
