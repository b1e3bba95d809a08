"""vellix.dask on a local cluster of two worker processes: the pages written as Parquet and as
JSON Lines are those of extract_pages in this process."""
import json

import pytest

import vellix
from shapes import CORPUS_FILES
from vellix._text import page_text

distributed = pytest.importorskip("distributed", reason="dask[distributed] is not installed")
pq = pytest.importorskip("pyarrow.parquet", reason="pyarrow is not installed")
import vellix.dask  # noqa: E402  (needs dask)


def local_records(path):
    try:
        return [{"path": str(path), "page": p["number"], "text": page_text(p), "error": None}
                for p in vellix.extract_pages(path)]
    except ValueError as e:
        return [{"path": str(path), "page": -1, "text": "", "error": str(e)}]


@pytest.mark.skipif(not CORPUS_FILES, reason="corpus not found")
def test_cluster_pages_equal_local_pages(tmp_path):
    paths = CORPUS_FILES[:10] + [tmp_path / "missing.pdf"]
    expected = [r for p in paths for r in local_records(p)]
    assert len(expected) > len(paths) and expected[-1]["error"] == "cannot open file"
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        parquet = vellix.dask.write_pages(paths, tmp_path / "pq", npartitions=4)
        lines = vellix.dask.write_pages(paths, tmp_path / "js", format="jsonl", npartitions=3)
        assert len(client.scheduler_info()["workers"]) == 2
    assert len(parquet) == 4 and [r for f in parquet for r in pq.read_table(f).to_pylist()] == expected
    assert len(lines) == 3 and [json.loads(line) for f in lines for line in open(f, encoding="utf-8")] == expected
    with pytest.raises(ValueError, match="format"):
        vellix.dask.write_pages(paths, tmp_path, format="csv")
