"""extract over every file of the shared corpus: each call returns the documented
[blocks, images] shape or raises ValueError, and never crashes or hangs; extract_many over the
whole corpus gives the same entries with file_parallel on and off, and the same as extract file
by file. Work runs in child processes with a timeout, so a crash or a hang fails the test that
met it instead of taking pytest down."""
import json
import os
import pathlib
import subprocess
import sys

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
CORPUS = pathlib.Path(os.environ.get("VELLIX_CORPUS", REPO.parent / "shared" / "corpus"))
BATCH = 25
TIMEOUT_SECONDS = 180


def corpus_files():
    if not CORPUS.is_dir():
        return []
    return sorted(str(p) for p in CORPUS.rglob("*") if p.is_file() and p.suffix.lower() == ".pdf")


FILES = corpus_files()
BATCHES = [FILES[i:i + BATCH] for i in range(0, len(FILES), BATCH)]

# Shape checks, shared by both children. Each returns a problem text, or None.
CHECKS = r"""
import math

SPAN_KEYS = ["bbox", "text", "font", "size", "color"]
IMAGE_KEYS = ["bbox", "width", "height", "bpc", "colorspace", "xref", "ext", "image"]


def bbox_problem(b):
    if type(b) is not list or len(b) != 4 or any(type(v) is not float for v in b):
        return "bad bbox %r" % (b,)
    return None


def document_problem(result):
    if type(result) is not list or len(result) != 2:
        return "result is not a list of two lists"
    blocks, images = result
    if type(blocks) is not list or type(images) is not list:
        return "result is not a list of two lists"
    for block in blocks:
        if type(block) is not dict or list(block) != ["type", "bbox", "lines"] or block["type"] != 0:
            return "bad block keys"
        p = bbox_problem(block["bbox"])
        if p:
            return p
        for line in block["lines"]:
            if type(line) is not dict or list(line) != ["bbox", "spans"]:
                return "bad line keys"
            p = bbox_problem(line["bbox"])
            if p:
                return p
            for span in line["spans"]:
                if type(span) is not dict or list(span) != SPAN_KEYS:
                    return "bad span keys"
                p = bbox_problem(span["bbox"])
                if p:
                    return p
                if type(span["text"]) is not str or type(span["font"]) is not str:
                    return "bad span text or font"
                if type(span["size"]) is not float or type(span["color"]) is not int:
                    return "bad span size or color"
    for image in images:
        if type(image) is not dict or list(image) != IMAGE_KEYS:
            return "bad image keys"
        p = bbox_problem(image["bbox"])
        if p:
            return p
        for key in ("width", "height", "bpc", "xref"):
            if type(image[key]) is not int or image[key] < 0:
                return "bad image " + key
        if image["ext"] not in ("jpeg", "jpx", "png") or type(image["colorspace"]) is not str:
            return "bad image ext or colorspace"
        if type(image["image"]) is not bytes:
            return "image data is not bytes"
    return None
"""

# One JSON line per file: the counts found, the ValueError text, or the shape problem.
EXTRACT_CHILD = CHECKS + r"""
import json, sys, vellix
for path in sys.argv[1:]:
    record = {"path": path}
    try:
        result = vellix.extract(path)
        record["problem"] = document_problem(result)
        record["blocks"] = len(result[0])
        record["images"] = len(result[1])
    except ValueError as e:
        record["error"] = str(e)
        record["args"] = len(e.args)
    print(json.dumps(record), flush=True)
"""

# Compares extract_many with file_parallel on and off (and pages in parallel or not), and with
# extract file by file. repr() stands in for equality because NaN is never equal to itself.
MANY_CHILD = CHECKS + r"""
import json, sys, vellix
paths = sys.argv[1:]
parallel = vellix.extract_many(paths, file_parallel=True, page_parallel=True)
sequential = vellix.extract_many(paths, file_parallel=False, page_parallel=False)
problems = []
if repr(parallel) != repr(sequential):
    problems.append("file_parallel on and off differ")
if [entry[0] for entry in parallel] != paths:
    problems.append("paths are not the input, in order")
for path, entry in zip(paths, sequential):
    try:
        alone = vellix.extract(path, page_parallel=False, include_images=False)
    except ValueError:
        alone = []
    if repr(entry) != repr([path, alone]):
        problems.append("differs from extract: " + path)
    if alone:
        p = document_problem(alone)
        if p:
            problems.append(path + ": " + p)
print(json.dumps({"problems": problems, "files": len(paths),
                  "failed": sum(1 for e in sequential if e[1] == [])}))
"""


def run_child(code, args):
    try:
        proc = subprocess.run([sys.executable, "-c", code, *args], capture_output=True, text=True,
                              timeout=TIMEOUT_SECONDS)
    except subprocess.TimeoutExpired as e:
        pytest.fail("timed out after %d s; last output: %s" % (TIMEOUT_SECONDS, (e.stdout or "")[-400:]))
    assert proc.returncode == 0, "child ended with %d: %s" % (proc.returncode, proc.stderr[-2000:])
    return [json.loads(line) for line in proc.stdout.splitlines() if line.strip()]


@pytest.mark.skipif(not FILES, reason="corpus not found")
@pytest.mark.parametrize("batch", BATCHES, ids=lambda b: pathlib.Path(b[0]).name)
def test_extract_corpus(batch):
    records = run_child(EXTRACT_CHILD, batch)
    assert [r["path"] for r in records] == batch
    for r in records:
        if "error" in r:
            assert r["error"] and r["args"] == 1, r
        else:
            assert r["problem"] is None, r


@pytest.mark.skipif(not FILES, reason="corpus not found")
def test_extract_many_corpus_is_the_same_in_parallel():
    (summary,) = run_child(MANY_CHILD, FILES)
    assert summary["problems"] == []
    assert summary["files"] == len(FILES)
    # Most of the corpus opens; a result where every file failed would compare equal too.
    assert summary["failed"] < len(FILES) // 2
