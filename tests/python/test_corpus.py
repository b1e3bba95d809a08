"""extract, extract_pages and extract_links over every file of the shared corpus: each call
returns the documented shape or raises ValueError, and never crashes or hangs; extract_many
gives the same entries with file_parallel on and off, and the same as extract file by file;
extract_pages gives the content of extract and the links of extract_links page by page, and
the page count, sizes and rotations that pdfinfo reads. Files run in child processes, a batch
each, with a timeout, so a crash or a hang fails the test of its batch instead of taking
pytest down."""
import pathlib
import pickle
import re
import shutil
import subprocess
import sys

import pytest

from shapes import CORPUS_FILES, check_document

BATCH = 25
TIMEOUT_SECONDS = 180
FILES = [str(p) for p in CORPUS_FILES]
BATCHES = [FILES[i:i + BATCH] for i in range(0, len(FILES), BATCH)]

# Runs in the child: for each path the result of `function`, or the ValueError's arguments;
# for extract_pages, the pages' shape is checked there and the result is the size and rotation
# of each page; for extract, also whether extract_many and extract_pages agree (repr() stands
# in for equality, since NaN is never equal to itself).
CHILD = r"""
import pickle, sys, vellix
from shapes import check_pages
function, paths = getattr(vellix, sys.argv[1]), sys.argv[2:]
records = []
for path in paths:
    try:
        result = function(path)
        if function is vellix.extract_pages:
            assert repr(check_pages(result)) == repr(vellix.extract(path)), path
            try:
                links = vellix.extract_links(path)  # fails alone on an annotation it cannot read
            except ValueError:
                links = [l for p in result for l in p["links"]]
            assert [l for p in result for l in p["links"]] == links, path
            result = [(p["width"], p["height"], p["rotation"]) for p in result]
        records.append((path, result, None))
    except ValueError as e:
        records.append((path, None, e.args))
agree = None
if function is vellix.extract:
    parallel = vellix.extract_many(paths, file_parallel=True, page_parallel=True)
    sequential = vellix.extract_many(paths, file_parallel=False, page_parallel=False)
    alone = []
    for path in paths:
        try:
            alone.append([path, vellix.extract(path, page_parallel=False, include_images=False)])
        except ValueError:
            alone.append([path, []])
    agree = repr(parallel) == repr(sequential) == repr(alone)
pickle.dump((records, agree), sys.stdout.buffer)
"""


def run_child(function, batch):
    try:
        proc = subprocess.run([sys.executable, "-c", CHILD, function, *batch], capture_output=True,
                              timeout=TIMEOUT_SECONDS, cwd=pathlib.Path(__file__).parent)
    except subprocess.TimeoutExpired:
        pytest.fail("timed out after %d s" % TIMEOUT_SECONDS)
    assert proc.returncode == 0, "child ended with %d: %s" % (proc.returncode, proc.stderr[-2000:])
    records, agree = pickle.loads(proc.stdout)
    assert [r[0] for r in records] == batch
    for path, result, error in records:
        assert result is not None or (len(error) == 1 and error[0]), path
    return [(path, result) for path, result, _ in records if result is not None], agree


@pytest.mark.skipif(not FILES, reason="corpus not found")
@pytest.mark.parametrize("batch", BATCHES, ids=lambda b: pathlib.Path(b[0]).name)
def test_extract_corpus(batch):
    results, agree = run_child("extract", batch)
    for path, result in results:
        try:
            check_document(result)
        except AssertionError:
            pytest.fail("bad result shape: " + path)
    assert agree, "extract_many with file_parallel on and off, and extract, differ"
    # Most of the corpus opens; a batch where every file failed would agree too.
    assert len(results) >= len(batch) // 2


def pdfinfo_pages(path):
    """(width, height, rotation) of each page as pdfinfo reads the crop boxes, or None."""
    proc = subprocess.run(["pdfinfo", "-f", "1", "-l", "1000000", "-box", path], capture_output=True,
                          text=True, errors="replace")
    boxes = re.findall(r"^Page\s+\d+ CropBox:\s+(\S+)\s+(\S+)\s+(\S+)\s+(\S+)", proc.stdout, re.M)
    turns = re.findall(r"^Page\s+\d+ rot:\s+(-?\d+)", proc.stdout, re.M)
    if proc.returncode or len(boxes) != len(turns):
        return None
    return [(float(x1) - float(x0), float(y1) - float(y0), int(r) % 360)
            for (x0, y0, x1, y1), r in zip(boxes, turns)]


@pytest.mark.skipif(not FILES or not shutil.which("pdfinfo"), reason="corpus or pdfinfo not found")
@pytest.mark.parametrize("batch", BATCHES, ids=lambda b: pathlib.Path(b[0]).name)
def test_extract_pages_corpus(batch):
    for path, pages in run_child("extract_pages", batch)[0]:
        expected = pdfinfo_pages(path)
        if expected is not None:
            assert len(pages) == len(expected), path
            for got, want in zip(pages, expected):
                assert got == pytest.approx(want, abs=0.011), path
