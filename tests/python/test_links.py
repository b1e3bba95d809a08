"""extract_links on small built files: what crosses the binding (text, floats, pages, errors);
the decoding rules themselves are tested in C++."""
import pytest

import vellix
from pdfgen import annotated_pdf
from shapes import check_link


def links_of(tmp_path, annots, extra=None):
    return vellix.extract_links(annotated_pdf(annots, extra).write(tmp_path / "links.pdf"))


def uri_link(uri, rect="[10 20 110 40]"):
    return "<< /Type /Annot /Subtype /Link /Rect %s /A << /S /URI /URI %s >> >>" % (rect, uri)


TARGETS = [
    # (annotation, expected uri or None for no link)
    (uri_link("(https://example.com/a?b=1)"), "https://example.com/a?b=1"),
    (uri_link("<68747470733A2F2F782E6F7267>"), "https://x.org"),
    # Invalid UTF-8 is replaced; UTF-8 and UTF-16BE text become the same str.
    (uri_link("<687474703A2F2FE9>"), "http://\ufffd"),
    (uri_link("(http://caf\xc3\xa9.fr)"), "http://caf\u00e9.fr"),
    (uri_link("<FEFF0068007400740070003A002F002F00E9D83DDE00>"), "http://\u00e9\U0001F600"),
    ("<< /Subtype /Link /A << /S /GoTo /D (http://x) >> >>", None),
    ("<< /Subtype /Link /A << /S /GoTo /D /x >> /Dest (https://fallback) >>", "https://fallback"),
    # An action given by reference, and one that cannot be fetched (the annotation is dropped,
    # its Dest included).
    ("<< /Subtype /Link /A 100 0 R >>", "http://indirect"),
    ("<< /Subtype /Link /A 199 0 R /Dest (http://unused) >>", None),
]


@pytest.mark.parametrize("annot,expected", TARGETS)
def test_targets(tmp_path, annot, expected):
    links = links_of(tmp_path, ["[%s]" % annot], {100: "<< /S /URI /URI (http://indirect) >>"})
    assert [link["uri"] for link in links] == ([expected] if expected else [])


@pytest.mark.parametrize("rect,expected", [
    ("[500.5 700 -1 0.25]", [500.5, 700.0, -1.0, 0.25]),
    ("[100 0 R 1 2 3 4]", [1.0, 2.0, 3.0, 4.0]),
    ("(1 2 3 4)", [0.0, 0.0, 0.0, 0.0]),
])
def test_rect_is_four_floats(tmp_path, rect, expected):
    links = links_of(tmp_path, ["[%s]" % uri_link("(u)", rect)], {100: "[5 6 7 8]"})
    assert len(links) == 1 and links[0]["bbox"] == expected
    check_link(links[0])


def test_pages_order_and_shape(tmp_path):
    extra = {
        100: uri_link("(http://one)"),
        101: "[100 0 R << /Subtype /Link /Dest (http://two) >>]",
        102: "<< /Subtype /Text /Contents (note) >>",
    }
    links = links_of(tmp_path, ["", "101 0 R", "[102 0 R]", "[100 0 R]", "[]", "null"], extra)
    assert type(links) is list
    assert [(link["uri"], link["page"], link["bbox"]) for link in links] == [
        ("http://one", 1, [10.0, 20.0, 110.0, 40.0]), ("http://two", 1, [0.0, 0.0, 0.0, 0.0]),
        ("http://one", 3, [10.0, 20.0, 110.0, 40.0])]
    for link in links:
        check_link(link)
    path = str(tmp_path / "links.pdf")
    assert vellix.extract_links(path=path) == links


@pytest.mark.parametrize("annots,message", [
    (["[100 0 R 999 0 R]"], "object not in xref"),      # past the cross-reference table
    (["[100 0 R 150 0 R]"], "object is free (deleted)"),  # a free entry of the table
    (["[100 0 R]", "999 0 R"], "object not in xref"),     # an Annots array by reference
])
def test_missing_annotation_fails_the_call(tmp_path, annots, message):
    with pytest.raises(ValueError) as got:
        links_of(tmp_path, annots, {100: uri_link("(http://one)")})
    assert type(got.value) is ValueError and got.value.args == (message,)


@pytest.mark.parametrize("content", [b"", b"not a pdf at all", b"%PDF-1.7\n%%EOF\n"])
def test_unreadable_files_raise_value_error(tmp_path, content):
    path = tmp_path / "bad.pdf"
    path.write_bytes(content)
    with pytest.raises(ValueError):
        vellix.extract_links(str(path))


@pytest.mark.parametrize("function", [vellix.extract_links, vellix.extract])
def test_missing_file_and_path_with_nul(tmp_path, function):
    with pytest.raises(ValueError) as got:
        function(str(tmp_path / "missing.pdf"))
    assert type(got.value) is ValueError and got.value.args == ("cannot open file",)
    # The part before the NUL is a readable file; the path as given is not.
    path = annotated_pdf(["[%s]" % uri_link("(http://k)")]).write(tmp_path / "k.pdf")
    with pytest.raises(ValueError, match="^cannot open file$"):
        function(path + "\0.pdf")
    assert vellix.extract_many([path + "\0", path])[0] == [path + "\0", []]


HOSTILE = [
    # Nesting far past the parser's bound, in the Annots array and inside an annotation.
    (["[" * 100000 + "]" * 100000], {}),
    (["[<< /Subtype /Link /A " + "<< /A " * 50000 + ">>" * 50000 + " >>]"], {}),
    # References that point back at themselves or at each other.
    (["100 0 R"], {100: "100 0 R"}),
    (["[100 0 R]"], {100: "<< /Subtype /Link /A 100 0 R /Dest 100 0 R >>"}),
    (["101 0 R"], {100: "<< /Subtype /Link /A 101 0 R >>", 101: "[100 0 R 101 0 R]"}),
]


@pytest.mark.parametrize("annots,extra", HOSTILE, ids=range(len(HOSTILE)))
def test_hostile_annotations_raise_or_return(tmp_path, annots, extra):
    try:
        assert links_of(tmp_path, annots, extra) == []
    except ValueError as e:
        assert str(e)
