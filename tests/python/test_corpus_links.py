"""extract_links over every file of the shared corpus: each call returns well-formed links or
raises ValueError, and never crashes or hangs. Files run in child processes, a batch each, so a
crash names its batch instead of taking pytest down."""
import json
import os
import pathlib
import subprocess
import sys

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
CORPUS = pathlib.Path(os.environ.get("VELLIX_CORPUS", REPO.parent / "shared" / "corpus"))
BATCH = 20
TIMEOUT_SECONDS = 120

# Runs in the child: one JSON line per file, with the links or the ValueError text.
CHILD = r"""
import json, sys, vellix
for path in sys.argv[1:]:
    try:
        links = vellix.extract_links(path)
        record = {"path": path, "links": links}
    except ValueError as e:
        record = {"path": path, "error": str(e), "args": len(e.args)}
    print(json.dumps(record), flush=True)
"""


def corpus_files():
    if not CORPUS.is_dir():
        return []
    return sorted(str(p) for p in CORPUS.rglob("*") if p.is_file() and p.suffix.lower() == ".pdf")


FILES = corpus_files()
BATCHES = [FILES[i:i + BATCH] for i in range(0, len(FILES), BATCH)]


def check_link(link):
    assert type(link) is dict and list(link) == ["uri", "bbox", "page"]
    assert type(link["uri"]) is str
    assert type(link["bbox"]) is list and len(link["bbox"]) == 4
    assert all(type(v) is float for v in link["bbox"])  # JSON keeps 1.0 a float
    assert type(link["page"]) is int and link["page"] >= 0


@pytest.mark.skipif(not FILES, reason="corpus not found")
@pytest.mark.parametrize("batch", BATCHES, ids=lambda b: pathlib.Path(b[0]).name)
def test_corpus_links(batch):
    proc = subprocess.run([sys.executable, "-c", CHILD, *batch], capture_output=True, text=True,
                          timeout=TIMEOUT_SECONDS)
    assert proc.returncode == 0, proc.stderr[-2000:]
    records = [json.loads(line) for line in proc.stdout.splitlines()]
    assert [r["path"] for r in records] == batch
    for record in records:
        if "error" in record:
            assert record["error"] and record["args"] == 1, record["path"]
            continue
        assert type(record["links"]) is list
        for link in record["links"]:
            check_link(link)
