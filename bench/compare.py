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

The tools run side by side, one process each kept for the whole measurement, in passes: in
each pass every tool in turn runs over all the files, and extract_many once right after
vellix. A slow spell of a shared machine then falls on every tool alike instead of on
whichever ran at the time.

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
import tempfile
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


def child_main(tool, per_file_timeout):
    """Serves the parent: each line on stdin names a file to run the tool on once ("*": one
    extract_many call over all the files of the first line, a JSON list), and each answer is
    a JSON line. At the end of stdin, the last line holds the child's peak resident size."""
    # The answers go out on a stdout of their own: whatever a tool prints goes to stderr.
    answers = os.fdopen(os.dup(1), "w")
    os.dup2(2, 1)
    sys.stdout = sys.stderr

    def reply(value):
        answers.write(json.dumps(value) + "\n")
        answers.flush()

    try:
        if tool == "vellix-many":
            import vellix
            files = json.loads(sys.stdin.readline())

            def run_many():
                start = time.perf_counter()
                result = vellix.extract_many(files, include_images=True)
                secs = time.perf_counter() - start
                opened = {path: value != [] for path, value in result}
                return {"secs": secs, "opened": opened}
        else:
            run = tool_runner(tool)
    except ImportError as e:
        reply({"missing": str(e)})
        return
    reply({"ready": True})
    signal.signal(signal.SIGALRM, _alarm)
    for line in sys.stdin:
        path = line.rstrip("\n")
        if tool == "vellix-many":
            reply(run_many())
            continue
        answer = {"ok": True, "secs": None, "pages": None}
        signal.alarm(per_file_timeout)
        start = time.perf_counter()
        try:
            answer["pages"] = run(path)
            answer["secs"] = time.perf_counter() - start
        except FileTimeout:
            answer.update(ok=False, timeout=True)
        except Exception:  # the tool cannot read this file
            answer["ok"] = False
        finally:
            signal.alarm(0)
        reply(answer)
    reply({"maxrss_kb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss})


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


class Child:
    """One tool in a process of its own, run on one file at a time when asked."""

    def __init__(self, tool, files, args):
        env = dict(os.environ)
        if args.vellix_path:
            env["PYTHONPATH"] = os.pathsep.join(filter(None, [args.vellix_path, env.get("PYTHONPATH")]))
        cmd = [sys.executable, str(pathlib.Path(__file__).resolve()), "--child", tool,
               "--per-file-timeout", str(args.per_file_timeout)]
        self.tool = tool
        # A file, not a pipe: a tool that writes much to stderr must not block on it.
        self.stderr = tempfile.TemporaryFile(mode="w+")
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=self.stderr, text=True, env=env)
        if tool == "vellix-many":
            self.proc.stdin.write(json.dumps(files) + "\n")
        self.failed = None
        hello = self._answer()
        if hello and "missing" in hello:
            self.failed = hello["missing"]

    def _answer(self):
        if self.failed is not None:
            return None
        try:
            self.proc.stdin.flush()
            line = self.proc.stdout.readline()
        except (BrokenPipeError, OSError):
            line = ""
        if not line:
            self.proc.wait()
            self.stderr.seek(0)
            self.failed = "child failed: " + self.stderr.read().strip()[-300:]
            return None
        return json.loads(line)

    def ask(self, path):
        """The tool's answer for one run on `path`; None once the child has failed."""
        if self.failed is not None:
            return None
        self.proc.stdin.write(path + "\n")
        return self._answer()

    def finish(self):
        """The child's peak resident size in KiB, once it has ended; None if it failed."""
        if self.failed is not None:
            self.proc.kill()
            self.proc.wait()
            return None
        self.proc.stdin.close()
        last = json.loads(self.proc.stdout.readlines()[-1])
        self.proc.wait()
        return last["maxrss_kb"]


def run_tools(tools, files, args):
    """Every tool over every file, in passes: within a pass each tool in turn runs over all the
    files (their order rotating from pass to pass), so that a slow spell of a shared machine
    falls on all of them alike, while each tool runs file after file as a user's program does.
    The best time of each file counts, and for vellix also its best pass; extract_many runs
    once over all the files right after each pass of vellix."""
    children = {}
    for tool in tools:
        print("starting %s ..." % tool, file=sys.stderr, flush=True)
        children[tool] = Child(tool, files, args)
    per_file = [t for t in tools if t != "vellix-many"]
    records = {t: {p: {"ok": True, "secs": None, "pages": None} for p in files} for t in per_file}
    passes = {t: [] for t in tools}

    def run_many():
        answer = children["vellix-many"].ask("*") if "vellix-many" in children else None
        if answer is not None:
            passes["vellix-many"].append(answer["secs"])
            records["vellix-many"] = answer["opened"]

    for n in range(args.runs):
        print("pass %d of %d ..." % (n + 1, args.runs), file=sys.stderr, flush=True)
        order = per_file[n % len(per_file):] + per_file[:n % len(per_file)] if per_file else []
        order = [t for t in order if t not in ("pdfminer", "pypdf") or n < args.slow_runs]
        totals = dict.fromkeys(order, 0.0)
        for tool in order:
            for path in files:
                record = records[tool][path]
                if not record["ok"]:
                    continue
                answer = children[tool].ask(path)
                if answer is None:
                    continue
                if not answer["ok"]:
                    record.update(ok=False, timeout=answer.get("timeout", False))
                    continue
                totals[tool] += answer["secs"]
                record["pages"] = answer["pages"]
                record["secs"] = answer["secs"] if record["secs"] is None else min(record["secs"], answer["secs"])
            if tool == "vellix":
                run_many()  # right after vellix's own pass, so that the two share a spell
        if "vellix" not in order:
            run_many()
        for tool in order:
            passes[tool].append(totals[tool])
    results = {}
    for tool in tools:
        rss = children[tool].finish()
        if rss is None:
            results[tool] = {"tool": tool, "missing": children[tool].failed}
            continue
        if tool == "vellix-many":
            opened = records.get("vellix-many", {})
            results[tool] = {"tool": tool, "total": min(passes[tool], default=None), "maxrss_kb": rss,
                             "files": {p: {"ok": ok, "secs": 0.0, "pages": None} for p, ok in opened.items()}}
            continue
        files_out = records[tool]
        for record in files_out.values():
            if not record["ok"]:
                record["secs"] = None
        results[tool] = {"tool": tool, "files": files_out, "maxrss_kb": rss,
                         "best_pass": min(passes[tool]) if passes[tool] else None}
    return results


def fmt_rate(pages, secs):
    return "%9.1f" % (pages / secs) if secs else "      n/a"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("folder", nargs="?", help="folder of PDF files (default: --corpus)")
    parser.add_argument("--corpus", default=str(DEFAULT_CORPUS))
    parser.add_argument("--slow", type=float, default=5.0,
                        help="files any tool needs more seconds for are left out of the summary")
    parser.add_argument("--runs", type=int, default=3, help="passes over the files; the best time of each file counts")
    parser.add_argument("--slow-runs", type=int, default=1, help="passes in which pdfminer and pypdf run")
    parser.add_argument("--per-file-timeout", type=int, default=60)
    parser.add_argument("--tools", default=",".join(TOOLS))
    parser.add_argument("--vellix-path", help="directory holding the built vellix module")
    parser.add_argument("--setup-venv", help="create this venv with the peers, then run in it")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.child:
        child_main(args.child, args.per_file_timeout)
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

    results = run_tools(tools, files, args)

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
