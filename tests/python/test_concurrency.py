"""Threads extracting at once (the core runs without the interpreter lock) get the results of a
sequential run; forked children (which lack their parent's worker threads) extract alike, under
a timeout; vellix.dask on a local cluster of two processes writes the pages extract_pages gives."""
import json
import multiprocessing
import os
import sys
from concurrent.futures import ThreadPoolExecutor

import pytest

import vellix
from pdfgen import pages_pdf
from shapes import CORPUS_FILES
from vellix._text import page_text

TIMEOUT = 60  # seconds
FILES = 9  # from eight files on, extract_many runs files on the worker pool
PAGES = 6


@pytest.fixture(scope="module")
def paths(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("fork")
    return [pages_pdf([b"BT /F1 12 Tf 72 700 Td (file %d page %d) Tj ET" % (f, p) for p in range(PAGES)])
            .write(tmp / ("f%d.pdf" % f)) for f in range(FILES)]


def extract_all(paths):
    """Pages and files in parallel and one by one; and whether this process then runs more than
    one thread (Linux only), as a child that kept its parent's pool (whose workers it lacks) would not."""
    results = {"parallel": vellix.extract(paths[0], page_parallel=True, batch_size=2),
               "sequential": vellix.extract(paths[0], page_parallel=False),
               "many_parallel": vellix.extract_many(paths, file_parallel=True, page_parallel=True),
               "many_sequential": vellix.extract_many(paths, file_parallel=False, page_parallel=False)}
    tasks = "/proc/self/task"
    results["pool_threads"] = not os.path.isdir(tasks) or len(os.listdir(tasks)) > 1
    return results


def child(paths, expected, depth):
    """Exit status 0 when this process, and at depth 1 a child it forks, extracts as expected."""
    ok = extract_all(paths) == expected and (depth == 0 or forked(TIMEOUT, child, paths, expected, 0) == 0)
    sys.exit(0 if ok else 1)


def forked(timeout, target, *args):
    """The exit status of target(*args) in a forked process, or None when it hung and was killed."""
    process = multiprocessing.get_context("fork").Process(target=target, args=args)
    process.start()
    process.join(timeout)
    if process.is_alive():
        process.kill()
        process.join()
        return None
    return process.exitcode


# Python warns that forking a process with threads may deadlock; that is the case under test.
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_forked_children_extract(paths):
    # Run in the parent first: this creates the worker pool before any fork.
    expected = extract_all(paths)
    assert expected["parallel"] == expected["sequential"] and expected["pool_threads"]
    assert expected["many_parallel"] == expected["many_sequential"]
    texts = [s["text"] for b in expected["parallel"][0] for line in b["lines"] for s in line["spans"]]
    assert texts == ["file 0 page %d" % p for p in range(PAGES)]
    assert forked(2 * TIMEOUT, child, paths, expected, 1) == 0, "a forked child failed or hung"
    assert extract_all(paths) == expected  # the parent's own pool still works


def call(work):
    function, argument = work
    try:
        return repr(function(argument))
    except ValueError as e:
        return str(e)


def test_threads_match_sequential_run(paths):
    files = paths + [str(p) for p in CORPUS_FILES[:12]]
    work = [(f, p) for p in files for f in (vellix.extract, vellix.extract_pages, vellix.extract_links)]
    work += [(vellix.extract_many, files[::2]), (vellix.extract_many, files[1::2])]
    expected = list(map(call, work))
    with ThreadPoolExecutor(2) as pool:
        for _ in range(2):
            assert list(pool.map(call, work)) == expected


@pytest.mark.skipif(not CORPUS_FILES, reason="corpus not found")
def test_dask_cluster_writes_the_local_pages(tmp_path):
    distributed = pytest.importorskip("distributed", reason="dask[distributed] is not installed")
    pq = pytest.importorskip("pyarrow.parquet", reason="pyarrow is not installed")
    from vellix.dask import page_records, write_pages

    paths = CORPUS_FILES[:10] + [tmp_path / "missing.pdf"]
    expected = [r for p in paths for r in page_records(p)]  # the same work, in this process
    assert [r["text"] for r in page_records(paths[0])] == [page_text(p) for p in vellix.extract_pages(paths[0])]
    assert len(expected) > len(paths) and expected[-1]["error"] == "cannot open file"
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        parquet = write_pages(paths, tmp_path / "pq", npartitions=4)
        lines = write_pages(paths, tmp_path / "js", format="jsonl", npartitions=3)
        assert len(client.scheduler_info()["workers"]) == 2
    assert len(parquet) == 4 and [r for f in parquet for r in pq.read_table(f).to_pylist()] == expected
    assert len(lines) == 3 and [json.loads(line) for f in lines for line in open(f, encoding="utf-8")] == expected
    with pytest.raises(ValueError, match="format"):
        write_pages(paths, tmp_path, format="csv")
