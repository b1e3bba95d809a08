"""Leaks and resources: the corpus's small files extracted round after round in one process
(extract, extract_many, extract_links) keep Python's allocations (tracemalloc) and resident
memory flat after the first rounds, and leave no file descriptor or mapping open."""
import json
import os
import subprocess
import sys

import pytest

from shapes import CORPUS_FILES

FILES = [str(p) for p in CORPUS_FILES if p.suffix == ".pdf" and p.stat().st_size < 60_000][:40]

CHILD = r"""
import gc, json, os, sys, tracemalloc, vellix
paths = sys.argv[1:]
def rss_kb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024
def maps():
    with open("/proc/self/maps") as f:
        return [line for line in f if any(p in line for p in paths)]
fds = sorted(os.listdir("/proc/self/fd"))
tracemalloc.start()
rounds = []
for _ in range(8):
    for path in paths:
        try:
            vellix.extract(path)
            vellix.extract_links(path)
        except ValueError:
            pass
    vellix.extract_many(paths, page_parallel=True, include_images=True)
    gc.collect()
    rounds.append((tracemalloc.get_traced_memory()[0], rss_kb()))
json.dump({"rounds": rounds, "fds_before": fds, "fds_after": sorted(os.listdir("/proc/self/fd")),
           "maps": maps()}, sys.stdout)
"""


@pytest.mark.skipif(not FILES, reason="corpus not found")
def test_repeated_extraction_is_flat_and_closes_everything():
    # One malloc arena: otherwise each worker thread's own arena fills up over the first ten or
    # so rounds, which looks like growth.
    proc = subprocess.run([sys.executable, "-c", CHILD, *FILES], capture_output=True, timeout=300,
                          env=dict(os.environ, MALLOC_ARENA_MAX="1"))
    assert proc.returncode == 0, proc.stderr[-1500:]
    out = json.loads(proc.stdout)
    rounds = out["rounds"]
    # The first rounds fill caches and the allocator's pools; from the third on, nothing grows
    # by more than noise (the list of rounds itself; a megabyte or so of the allocator's pools,
    # up and down). A leaked span dictionary, document or decoded stream per call would add
    # hundreds of kilobytes of Python objects, or megabytes, per round.
    traced = [t for t, _ in rounds[2:]]
    rss = [r for _, r in rounds[2:]]
    assert max(traced) - traced[0] < 64 * 1024, rounds
    assert rss[-1] - rss[0] < 2 * 1024, rounds
    # listdir's own descriptor is open in both lists.
    assert out["fds_after"] == out["fds_before"]
    assert out["maps"] == []
