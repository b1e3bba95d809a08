"""Pages of many PDF files on a Dask cluster, written as Parquet or JSON Lines.

    from dask.distributed import Client
    import vellix.dask

    client = Client("tcp://scheduler:8786")        # or Client() for the cores of this machine
    files = vellix.dask.write_pages(paths, "out/", format="parquet")

Each worker runs vellix.extract_pages on its share of the paths (the paths must be readable
from the workers, and vellix installed there). Every page becomes one record {"path", "page",
"text", "error"}: "page" counts from 0, "text" is the page's text in reading order and "error"
is None. A file that cannot be read gives one record with page -1, no text and its error
text. Needs the extra: pip install "vellix[dask]".
"""
from __future__ import annotations

import json
import os
from typing import Any, Dict, Iterable, List, Optional, Union

import dask
import dask.bag

from . import extract_pages
from ._text import page_text

Record = Dict[str, Any]
FORMATS = ("parquet", "jsonl")


def page_records(path: Union[str, "os.PathLike[str]"], page_parallel: bool = False) -> List[Record]:
    """The records of one file, as the workers make them."""
    path = os.fspath(path)
    try:
        pages = extract_pages(path, page_parallel=page_parallel, include_images=False)
    except ValueError as e:
        return [{"path": path, "page": -1, "text": "", "error": str(e)}]
    return [{"path": path, "page": page["number"], "text": page_text(page), "error": None}
            for page in pages]


def pages_bag(paths: Iterable[Union[str, "os.PathLike[str]"]],
              npartitions: Optional[int] = None) -> dask.bag.Bag:
    """A bag of the page records of every path, in path order."""
    names = [os.fspath(p) for p in paths]
    bag = dask.bag.from_sequence(names, npartitions=npartitions or max(1, min(len(names), 256)))
    return bag.map(page_records).flatten()


def _write_partition(records: List[Record], target: str, format: str) -> str:
    if format == "jsonl":
        with open(target, "w", encoding="utf-8") as f:
            f.writelines(json.dumps(r, ensure_ascii=False) + "\n" for r in records)
        return target
    import pyarrow as pa
    import pyarrow.parquet as pq

    schema = pa.schema([("path", pa.string()), ("page", pa.int64()), ("text", pa.string()),
                        ("error", pa.string())])
    pq.write_table(pa.Table.from_pylist(records, schema=schema), target)
    return target


def write_pages(paths: Iterable[Union[str, "os.PathLike[str]"]], folder: Union[str, "os.PathLike[str]"],
                format: str = "parquet", npartitions: Optional[int] = None) -> List[str]:
    """Extracts every path on the current Dask scheduler (a distributed Client once one is made)
    and writes one file per partition into `folder`: part-00000.parquet (columns path, page,
    text, error) or part-00000.jsonl. Returns the files written, in order; reading them in
    that order gives the pages in path order."""
    if format not in FORMATS:
        raise ValueError("format must be one of %s" % ", ".join(FORMATS))
    folder = os.fspath(folder)
    os.makedirs(folder, exist_ok=True)
    parts = pages_bag(paths, npartitions).to_delayed()
    writes = [dask.delayed(_write_partition)(part, os.path.join(folder, "part-%05d.%s" % (i, format)), format)
              for i, part in enumerate(parts)]
    return list(dask.compute(*writes))
