"""extract_links on small built files: what crosses the binding (text, floats, pages, errors);
the decoding rules themselves are tested in C++."""
import pathlib
import typing

import pytest

import vellix
from pdfgen import annotated_pdf
from shapes import check


def links_of(tmp_path, annots, extra=None):
    return vellix.extract_links(annotated_pdf(annots, extra).write(tmp_path / "links.pdf"))


def uri_link(uri, rect="[10 20 110 40]"):
    return "<< /Type /Annot /Subtype /Link /Rect %s /A << /S /URI /URI %s >> >>" % (rect, uri)


BOX = [10.0, 20.0, 110.0, 40.0]
TARGETS = [
    # (annotation, expected uri and box, or None for no link)
    (uri_link("(https://example.com/a?b=1)"), ("https://example.com/a?b=1", BOX)),
    # Invalid UTF-8 is replaced; UTF-8 and UTF-16BE text become the same str.
    (uri_link("<687474703A2F2FE9>"), ("http://\ufffd", BOX)),
    (uri_link("(http://caf\xc3\xa9.fr)"), ("http://caf\u00e9.fr", BOX)),
    (uri_link("<FEFF0068007400740070003A002F002F00E9D83DDE00>"), ("http://\u00e9\U0001F600", BOX)),
    ("<< /Subtype /Link /A << /S /GoTo /D /x >> /Dest (https://fallback) >>", ("https://fallback", [0.0] * 4)),
    # An action given by reference, and one that cannot be fetched (the annotation is dropped,
    # its Dest included).
    ("<< /Subtype /Link /A 100 0 R >>", ("http://indirect", [0.0] * 4)),
    ("<< /Subtype /Link /A 199 0 R /Dest (http://unused) >>", None),
    # The box: four floats; the numbers of a direct array, others skipped; else zeros.
    (uri_link("(u)", "[500.5 700 -1 0.25]"), ("u", [500.5, 700.0, -1.0, 0.25])),
    (uri_link("(u)", "[101 0 R 1 2 3 4]"), ("u", [1.0, 2.0, 3.0, 4.0])),
    (uri_link("(u)", "(1 2 3 4)"), ("u", [0.0] * 4)),
]


@pytest.mark.parametrize("annot,expected", TARGETS)
def test_targets_and_boxes(tmp_path, annot, expected):
    links = links_of(tmp_path, ["[%s]" % annot], {100: "<< /S /URI /URI (http://indirect) >>", 101: "[5 6 7 8]"})
    assert [(link["uri"], link["bbox"]) for link in links] == ([expected] if expected else [])
    check(links, typing.List[vellix.Link])


def test_pages_order_and_shape(tmp_path):
    extra = {100: uri_link("(http://one)"), 101: "[100 0 R << /Subtype /Link /Dest (http://two) >>]",
             102: "<< /Subtype /Text /Contents (note) >>"}
    links = links_of(tmp_path, ["", "101 0 R", "[102 0 R]", "[100 0 R]", "[]", "null"], extra)
    assert [(link["uri"], link["page"], link["bbox"]) for link in links] == [
        ("http://one", 1, BOX), ("http://two", 1, [0.0] * 4), ("http://one", 3, BOX)]
    path = str(tmp_path / "links.pdf")
    assert vellix.extract_links(path=path) == links == [l for p in vellix.extract_pages(path) for l in p["links"]]


FAILURES = [
    # (annots, extra, the error's text, or None for a call that may fail or return no link)
    (["[100 0 R 999 0 R]"], {}, "object not in xref"),      # past the cross-reference table
    (["[100 0 R 150 0 R]"], {}, "object is free (deleted)"),  # a free entry of the table
    (["[100 0 R]", "999 0 R"], {}, "object not in xref"),     # an Annots array by reference
    # Nesting far past the parser's bound, in the Annots array and inside an annotation.
    (["[" * 100000 + "]" * 100000], {}, None),
    # References that point back at themselves or at each other.
    (["100 0 R"], {100: "100 0 R"}, None),
    (["101 0 R"], {100: "<< /Subtype /Link /A 101 0 R >>", 101: "[100 0 R 101 0 R]"}, None),
]


@pytest.mark.parametrize("annots,extra,message", FAILURES, ids=range(len(FAILURES)))
def test_failing_and_hostile_annotations(tmp_path, annots, extra, message):
    path = annotated_pdf(annots, {100: uri_link("(http://one)"), **extra}).write(tmp_path / "links.pdf")
    try:
        result = vellix.extract_links(path)
    except ValueError as e:
        result = e.args
    assert result == (message,) if message else result == [] or (len(result) == 1 and result[0])
    # extract_pages raises nothing: the page whose links fail (the last) has none.
    assert message is None or vellix.extract_pages(path)[-1]["links"] == []


@pytest.mark.parametrize("content", [None, "nul", b"", b"not a pdf at all", b"%PDF-1.7\n%%EOF\n"])
def test_unreadable_files_raise_value_error(tmp_path, content):
    path = annotated_pdf(["[%s]" % uri_link("(http://k)")]).write(tmp_path / "k.pdf")
    if isinstance(content, bytes):
        pathlib.Path(path).write_bytes(content)
    # A missing file, and a path whose part before a NUL is a readable file.
    path = {None: str(tmp_path / "missing.pdf"), "nul": path + "\0.pdf"}.get(content, path)
    for function in (vellix.extract_links, vellix.extract, vellix.extract_pages):
        with pytest.raises(ValueError) as got:
            function(path)
        assert type(got.value) is ValueError and got.value.args[0]
        assert content not in (None, "nul") or got.value.args == ("cannot open file",)
    assert vellix.extract_many([path]) == [[path, []]]
