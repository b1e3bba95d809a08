"""The corpus, a batch per child process with a timeout (a crash or a hang fails its batch, not
pytest): results have their shapes or raise ValueError; extract_many, extract and extract_pages
agree; pages have the links of extract_links and the count, sizes and rotations of pdfinfo."""
import pathlib
import pickle
import re
import shutil
import subprocess
import sys

import pytest

from shapes import CORPUS_FILES

BATCH = 25
TIMEOUT_SECONDS = 180
FILES = [str(p) for p in CORPUS_FILES]
BATCHES = [FILES[i:i + BATCH] for i in range(0, len(FILES), BATCH)]

# Runs in the child (repr() stands in for equality, since NaN is never equal to itself). For
# each path: the size and rotation of each page, or the ValueError's arguments.
CHILD = r"""
import pickle, sys, vellix
from shapes import check_pages
paths, records = sys.argv[1:], []
def all_links(pages):
    return [link for page in pages for link in page["links"]]
for path in paths:
    try:
        pages = vellix.extract_pages(path)
    except ValueError as e:
        records.append((path, None, e.args))
        continue
    assert repr(check_pages(pages)) == repr(vellix.extract(path)), path
    try:
        assert all_links(pages) == vellix.extract_links(path), path
    except ValueError:
        pass  # extract_links fails alone on an annotation it cannot read
    records.append((path, [(p["width"], p["height"], p["rotation"]) for p in pages], None))
parallel = vellix.extract_many(paths, file_parallel=True, page_parallel=True)
sequential = vellix.extract_many(paths, file_parallel=False, page_parallel=False)
alone = []
for path in paths:
    try:
        alone.append([path, vellix.extract(path, page_parallel=False, include_images=False)])
    except ValueError:
        alone.append([path, []])
pickle.dump((records, repr(parallel) == repr(sequential) == repr(alone)), sys.stdout.buffer)
"""


def pdfinfo_pages(path):
    """(width, height, rotation) of each page as pdfinfo reads the crop boxes, or None."""
    proc = subprocess.run(["pdfinfo", "-f", "1", "-l", "1000000", "-box", path], capture_output=True,
                          text=True, errors="replace")
    boxes = re.findall(r"^Page\s+\d+ CropBox:\s+(\S+)\s+(\S+)\s+(\S+)\s+(\S+)", proc.stdout, re.M)
    turns = re.findall(r"^Page\s+\d+ rot:\s+(-?\d+)", proc.stdout, re.M)
    if proc.returncode or len(boxes) != len(turns):
        return None
    return [(float(x1) - float(x0), float(y1) - float(y0), int(r) % 360) for (x0, y0, x1, y1), r in zip(boxes, turns)]


@pytest.mark.skipif(not FILES or not shutil.which("pdfinfo"), reason="corpus or pdfinfo not found")
@pytest.mark.parametrize("batch", BATCHES, ids=lambda b: pathlib.Path(b[0]).name)
def test_corpus(batch):
    try:
        proc = subprocess.run([sys.executable, "-c", CHILD, *batch], capture_output=True,
                              timeout=TIMEOUT_SECONDS, cwd=pathlib.Path(__file__).parent)
    except subprocess.TimeoutExpired:
        pytest.fail("timed out after %d s" % TIMEOUT_SECONDS)
    assert proc.returncode == 0, "child ended with %d: %s" % (proc.returncode, proc.stderr[-2000:])
    records, agree = pickle.loads(proc.stdout)
    assert [r[0] for r in records] == batch
    assert agree, "extract_many with file_parallel on and off, and extract, differ"
    # Most of the corpus opens; a batch where every file failed would agree too.
    assert sum(pages is not None for _, pages, _ in records) >= len(batch) // 2
    for path, pages, error in records:
        assert pages is not None or (len(error) == 1 and error[0]), path
        expected = pdfinfo_pages(path) if pages is not None else None
        if expected is not None:
            assert len(pages) == len(expected), path
            for got, want in zip(pages, expected):
                assert got == pytest.approx(want, abs=0.011), path
