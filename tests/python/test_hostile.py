"""Hostile files: truncations and seeded mutations of corpus files through extract,
extract_many and extract_links. Each batch runs in a child process with a time bound, so a
crash or a hang fails its test instead of ending the run; every call returns the documented
shape or raises ValueError."""
import pathlib
import pickle
import random
import subprocess
import sys
import typing

import pytest

import vellix
from shapes import CORPUS_FILES, REPO, check, check_document

SMALL = [p for p in CORPUS_FILES if p.suffix == ".pdf" and p.stat().st_size < 100_000]
SOURCES = SMALL[::max(1, len(SMALL) // 8)][:8] + [REPO / "tests" / "data" / "test-punkt.pdf"]
TIMEOUT_SECONDS = 120

# Runs in the child: each function on each path, its result or the ValueError's arguments.
# The path goes to stderr first, so the last one there names the file that crashed.
CHILD = r"""
import pickle, sys, vellix
records = []
for path in sys.argv[1:]:
    print(path, file=sys.stderr, flush=True)
    for name, call in (("extract", lambda: vellix.extract(path)),
                       ("sequential", lambda: vellix.extract(path, page_parallel=False, batch_size=1)),
                       ("links", lambda: vellix.extract_links(path))):
        try:
            records.append((name, path, call(), None))
        except ValueError as e:
            records.append((name, path, None, e.args))
records.append(("many", None, vellix.extract_many(sys.argv[1:], page_parallel=True), None))
pickle.dump(records, sys.stdout.buffer)
"""


def mutants(data, seed):
    """Four truncations and six mutants of a few edits each (bytes overwritten, digits
    inserted, a range repeated or removed), the same for a given seed."""
    rng = random.Random(seed)
    out = [data[:len(data) * k // 8] for k in (1, 3, 5)] + [data[:-20]]
    for _ in range(6):
        b = bytearray(data)
        for _ in range(rng.randint(1, 8)):
            at = rng.randrange(max(1, len(b)))
            edit = rng.randrange(4)
            if edit == 0:
                b[at:at + 4] = bytes(rng.randrange(256) for _ in range(4))
            elif edit == 1:
                b[at:at] = str(rng.choice([0, -1, 2**31, 2**64, 99999999])).encode()
            elif edit == 2:
                b[at:at] = b[at:at + rng.randrange(1, 2000)] * rng.randint(2, 50)
            else:
                del b[at:at + rng.randrange(1, 500)]
        out.append(bytes(b))
    return out


@pytest.mark.skipif(not SMALL, reason="corpus not found")
@pytest.mark.parametrize("source", SOURCES, ids=lambda p: p.name)
def test_hostile_mutants(source, tmp_path):
    paths = []
    for i, data in enumerate(mutants(source.read_bytes(), source.name)):
        paths.append(str(tmp_path / ("%02d.pdf" % i)))
        pathlib.Path(paths[-1]).write_bytes(data)
    try:
        proc = subprocess.run([sys.executable, "-c", CHILD, *paths], capture_output=True,
                              timeout=TIMEOUT_SECONDS)
    except subprocess.TimeoutExpired as e:
        pytest.fail("timed out after %d s at %s" % (TIMEOUT_SECONDS, e.stderr.splitlines()[-1:]))
    assert proc.returncode == 0, "child ended with %d at %s" % (proc.returncode, proc.stderr[-1500:])
    records = pickle.loads(proc.stdout)
    assert len(records) == 3 * len(paths) + 1
    for name, path, result, error in records[:-1]:
        if result is None:
            assert len(error) == 1 and type(error[0]) is str and error[0], (name, path)
        elif name == "links":
            check(result, typing.List[vellix.Link])
        else:
            check_document(result)
    many = records[-1][2]
    assert [entry[0] for entry in many] == paths
    for path, result in many:
        assert result == [] or check_document(result)
