"""Checks of the result shapes against the package's own TypedDicts (so the types are checked
too), shared by the tests of built files and of the corpus; and where the corpus is."""
import os
import pathlib
import typing

import vellix

REPO = pathlib.Path(__file__).resolve().parents[2]
CORPUS = pathlib.Path(os.environ.get("VELLIX_CORPUS", REPO.parent / "shared" / "corpus"))
CORPUS_FILES = sorted(p for p in CORPUS.rglob("*") if p.suffix.lower() == ".pdf" and p.is_file())


def check(value, tp):
    """Asserts that `value` is exactly of type `tp`: a TypedDict's keys in their order, lists of
    a type, literals; boxes hold four numbers and ints fit 32 unsigned bits."""
    if typing.is_typeddict(tp):
        hints = typing.get_type_hints(tp)
        assert type(value) is dict and list(value) == list(hints), (list(value), tp)
        for key, item_type in hints.items():
            assert key != "bbox" or len(value[key]) == 4
            check(value[key], item_type)
    elif typing.get_origin(tp) is list:
        assert type(value) is list
        for item in value:
            check(item, typing.get_args(tp)[0])
    elif typing.get_origin(tp) is typing.Literal:
        assert type(value) is int and value in typing.get_args(tp)
    else:
        assert type(value) is tp and (tp is not int or 0 <= value < 2**32), (value, tp)


def check_document(result):
    """Checks extract's [blocks, images]; returns the span texts and the images."""
    assert type(result) is list and len(result) == 2
    check(result[0], typing.List[vellix.Block])
    check(result[1], typing.List[vellix.Image])
    return [s["text"] for b in result[0] for line in b["lines"] for s in line["spans"]], result[1]


def check_pages(pages):
    """Checks extract_pages' result; returns [blocks, images] as extract would give them."""
    check(pages, typing.List[vellix.Page])
    for number, page in enumerate(pages):
        assert page["number"] == number and page["width"] > 0 and page["height"] > 0
        assert all(link["page"] == number for link in page["links"])
    result = [[b for p in pages for b in p["blocks"]], [i for p in pages for i in p["images"]]]
    check_document(result)
    return result
