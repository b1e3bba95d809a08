"""Threads and processes. Python threads extract at once (the core runs without the
interpreter lock) with the results of a sequential run. A process that forks after vellix has
started its worker threads has none of them in the child, which must still extract, in
parallel and sequentially, with the same results and without hanging; each child runs under a
timeout, so a hang fails instead of stalling the suite."""
import os
import pathlib
import signal
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

import vellix
from pdfgen import pages_pdf

TIMEOUT_SECONDS = 60
FILES = 9  # from eight files on, extract_many runs files on the worker pool
PAGES = 6


@pytest.fixture(scope="module")
def paths(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("fork")
    return [pages_pdf([b"BT /F1 12 Tf 72 700 Td (file %d page %d) Tj ET" % (f, p) for p in range(PAGES)])
            .write(tmp / ("f%d.pdf" % f)) for f in range(FILES)]


def extract_all(paths):
    """Everything a child must be able to do: pages and files in parallel and one by one.
    Also checks that this process runs more threads than the calling one afterwards: a child
    that kept the parent's pool (whose workers do not exist in it) would do all work on its
    one thread. Linux only; elsewhere that is not checked."""
    results = {
        "parallel": vellix.extract(paths[0], page_parallel=True, batch_size=2),
        "sequential": vellix.extract(paths[0], page_parallel=False),
        "many_parallel": vellix.extract_many(paths, file_parallel=True, page_parallel=True),
        "many_sequential": vellix.extract_many(paths, file_parallel=False, page_parallel=False),
    }
    tasks = "/proc/self/task"
    results["pool_threads"] = not os.path.isdir(tasks) or len(os.listdir(tasks)) > 1
    return results


def expected_results(paths):
    # Run in the parent first: this creates the worker pool before any fork.
    results = extract_all(paths)
    assert results["parallel"] == results["sequential"] and results["pool_threads"]
    assert results["many_parallel"] == results["many_sequential"]
    texts = [s["text"] for b in results["parallel"][0] for l in b["lines"] for s in l["spans"]]
    assert texts == ["file 0 page %d" % p for p in range(PAGES)]
    return results


def wait_or_kill(pid, timeout):
    """The child's exit code, or None when it had to be killed."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done == pid:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.02)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    return None


# Python warns that forking a process with threads may deadlock; that is the case under test.
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_os_fork_child_extracts(paths):
    expected = expected_results(paths)
    pid = os.fork()
    if pid == 0:
        # The child must never return into pytest.
        code = 3
        try:
            code = 0 if extract_all(paths) == expected else 1
            # A child of the child, too.
            grandchild = os.fork()
            if grandchild == 0:
                os._exit(0 if extract_all(paths) == expected else 1)
            if wait_or_kill(grandchild, TIMEOUT_SECONDS) != 0:
                code = 4
        except BaseException:
            code = 2
        finally:
            os._exit(code)
    code = wait_or_kill(pid, 2 * TIMEOUT_SECONDS)
    assert code is not None, "the forked child hung"
    assert code == 0, "the forked child failed with %d" % code
    # The parent's own pool still works.
    assert extract_all(paths) == expected


CORPUS = pathlib.Path(__file__).resolve().parents[3] / "shared" / "corpus"


def calls(paths):
    """Every function on every path, a failure as its error text."""
    def call(function, *args):
        try:
            return function(*args)
        except ValueError as e:
            return str(e)
    return [lambda p=p, f=f: call(f, p) for p in paths
            for f in (vellix.extract, vellix.extract_pages, vellix.extract_links)] + [
        lambda: vellix.extract_many(paths[::2]), lambda: vellix.extract_many(paths[1::2])]


def test_threads_match_sequential_run(paths):
    corpus = sorted(str(p) for p in CORPUS.glob("*/*.pdf"))[:12]
    work = calls(paths + corpus)
    expected = [repr(c()) for c in work]
    with ThreadPoolExecutor(2) as pool:
        for _ in range(2):
            assert [repr(r) for r in pool.map(lambda c: c(), work)] == expected
