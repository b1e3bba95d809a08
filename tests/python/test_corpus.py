"""extract and extract_links over every file of the shared corpus: each call returns the
documented shape or raises ValueError, and never crashes or hangs; extract_many gives the same
entries with file_parallel on and off, and the same as extract file by file. Files run in child
processes, a batch each, with a timeout, so a crash or a hang fails the test of its batch
instead of taking pytest down."""
import os
import pathlib
import pickle
import subprocess
import sys

import pytest

from shapes import check_document, check_link

REPO = pathlib.Path(__file__).resolve().parents[2]
CORPUS = pathlib.Path(os.environ.get("VELLIX_CORPUS", REPO.parent / "shared" / "corpus"))
BATCH = 25
TIMEOUT_SECONDS = 180
FILES = sorted(str(p) for p in CORPUS.rglob("*") if p.is_file() and p.suffix.lower() == ".pdf") \
    if CORPUS.is_dir() else []
BATCHES = [FILES[i:i + BATCH] for i in range(0, len(FILES), BATCH)]

# Runs in the child: for each path the result of `function`, or the ValueError's arguments;
# for extract, also whether extract_many agrees (repr() stands in for equality, since NaN is
# never equal to itself).
CHILD = r"""
import pickle, sys, vellix
function, paths = getattr(vellix, sys.argv[1]), sys.argv[2:]
records = []
for path in paths:
    try:
        records.append((path, function(path), None))
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
                              timeout=TIMEOUT_SECONDS)
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


@pytest.mark.skipif(not FILES, reason="corpus not found")
@pytest.mark.parametrize("batch", BATCHES, ids=lambda b: pathlib.Path(b[0]).name)
def test_extract_links_corpus(batch):
    for path, links in run_child("extract_links", batch)[0]:
        try:
            assert type(links) is list
            for link in links:
                check_link(link)
        except AssertionError:
            pytest.fail("bad links: " + path)
