"""extract_links on small built files."""
import pytest

import vellix
from pdfgen import annotated_pdf


def links_of(tmp_path, annots, extra=None):
    path = annotated_pdf(annots, extra).write(tmp_path / "links.pdf")
    return vellix.extract_links(path)


def uri_link(uri, rect="[10 20 110 40]"):
    return "<< /Type /Annot /Subtype /Link /Rect %s /A << /S /URI /URI %s >> >>" % (rect, uri)


TARGETS = [
    # (URI or Dest entry of the annotation, expected uri or None for no link)
    (uri_link("(https://example.com/a?b=1)"), "https://example.com/a?b=1"),
    # Strings are decoded: hex digits, escapes, octal, line continuations.
    (uri_link("<68747470733A2F2F782E6F7267>"), "https://x.org"),
    (uri_link("<68 74 74 70 3a 2f 2f 7>"), "http://p"),
    (uri_link("(http://e.com/f\\(1\\).html)"), "http://e.com/f(1).html"),
    (uri_link("(http://e.com/\\061\\\n2)"), "http://e.com/12"),
    # Invalid UTF-8 is replaced; a UTF-16BE text string is converted.
    (uri_link("<687474703A2F2FE9>"), "http://\ufffd"),
    (uri_link("(http://caf\xc3\xa9.fr)"), "http://caf\u00e9.fr"),
    (uri_link("<FEFF0068007400740070003A002F002F00E9D83DDE00>"), "http://\u00e9\U0001F600"),
    # Other actions, kinds and values give no link.
    ("<< /Subtype /Link /A << /S /GoTo /D (http://x) >> >>", None),
    ("<< /Subtype /Link /A << /S /URI /URI 5 >> >>", None),
    ("<< /Subtype /Widget /A << /S /URI /URI (http://x) >> >>", None),
    ("<< /Subtype /Link /Dest /Named >>", None),
    ("<< /Subtype /Link /Dest [200 0 R /XYZ 0 0 0] >>", None),
    # Dest strings are links only when they start with http:// or https://.
    ("<< /Subtype /Link /Dest (http://d.org/page) >>", "http://d.org/page"),
    ("<< /Subtype /Link /Dest (http://) >>", "http://"),
    ("<< /Subtype /Link /Dest (https:/) >>", None),
    ("<< /Subtype /Link /Dest (mailto:a@b.c) >>", None),
    ("<< /Subtype /Link /Dest <68747470733A2F2F682E6F7267> >>", "https://h.org"),
    ("<< /Subtype /Link /A << /S /GoTo /D /x >> /Dest (https://fallback) >>", "https://fallback"),
    # An action given by reference, and one that cannot be fetched (the annotation is dropped,
    # its Dest included).
    ("<< /Subtype /Link /A 100 0 R >>", "http://indirect"),
    ("<< /Subtype /Link /A 199 0 R /Dest (http://unused) >>", None),
]


@pytest.mark.parametrize("annot,expected", TARGETS)
def test_targets(tmp_path, annot, expected):
    links = links_of(tmp_path, ["[%s]" % annot], {100: "<< /S /URI /URI (http://indirect) >>"})
    if expected is None:
        assert links == []
    else:
        assert len(links) == 1
        assert links[0]["uri"] == expected


RECTS = [
    ("[10 20 110 40]", [10.0, 20.0, 110.0, 40.0]),
    ("[500.5 700 -1 0.25]", [500.5, 700.0, -1.0, 0.25]),
    ("[100 0 R 1 2 3 4]", [1.0, 2.0, 3.0, 4.0]),
    ("[1 2 3]", [0.0, 0.0, 0.0, 0.0]),
    ("100 0 R", [0.0, 0.0, 0.0, 0.0]),
    ("(1 2 3 4)", [0.0, 0.0, 0.0, 0.0]),
]


@pytest.mark.parametrize("rect,expected", RECTS)
def test_rect(tmp_path, rect, expected):
    links = links_of(tmp_path, ["[%s]" % uri_link("(u)", rect)], {100: "[5 6 7 8]"})
    assert len(links) == 1
    assert links[0]["bbox"] == expected
    assert all(type(v) is float for v in links[0]["bbox"])


def test_pages_order_and_shape(tmp_path):
    extra = {
        100: uri_link("(http://one)"),
        101: "[100 0 R << /Subtype /Link /Dest (http://two) >>]",
        102: "<< /Subtype /Text /Contents (note) >>",
    }
    links = links_of(tmp_path, ["", "101 0 R", "[102 0 R]", "[100 0 R]"], extra)
    assert [(link["uri"], link["page"]) for link in links] == [
        ("http://one", 1), ("http://two", 1), ("http://one", 3)]
    assert type(links) is list
    for link in links:
        assert type(link) is dict
        assert list(link) == ["uri", "bbox", "page"]
        assert type(link["uri"]) is str and type(link["page"]) is int
        assert type(link["bbox"]) is list and len(link["bbox"]) == 4
    assert links[0]["bbox"] == [10.0, 20.0, 110.0, 40.0]
    assert links[1]["bbox"] == [0.0, 0.0, 0.0, 0.0]


def test_no_annotations(tmp_path):
    assert links_of(tmp_path, ["", "[]", "null"]) == []


@pytest.mark.parametrize("annots,message", [
    (["[100 0 R 999 0 R]"], "object not in xref"),      # past the cross-reference table
    (["[100 0 R 150 0 R]"], "object is free (deleted)"),  # a free entry of the table
    (["[100 0 R]", "999 0 R"], "object not in xref"),     # an Annots array by reference
])
def test_missing_annotation_fails_the_call(tmp_path, annots, message):
    with pytest.raises(ValueError) as got:
        links_of(tmp_path, annots, {100: uri_link("(http://one)")})
    assert type(got.value) is ValueError
    assert got.value.args == (message,)


def test_path_by_keyword(tmp_path):
    path = annotated_pdf(["[%s]" % uri_link("(http://k)")]).write(tmp_path / "k.pdf")
    assert vellix.extract_links(path=path) == vellix.extract_links(path)
    assert vellix.extract_links(path)[0]["uri"] == "http://k"


@pytest.mark.parametrize("content", [b"", b"not a pdf at all", b"%PDF-1.7\n%%EOF\n"])
def test_unreadable_files_raise_value_error(tmp_path, content):
    path = tmp_path / "bad.pdf"
    path.write_bytes(content)
    with pytest.raises(ValueError):
        vellix.extract_links(str(path))


@pytest.mark.parametrize("function", [vellix.extract_links, vellix.extract])
def test_missing_file(tmp_path, function):
    with pytest.raises(ValueError) as got:
        function(str(tmp_path / "missing.pdf"))
    assert type(got.value) is ValueError
    assert got.value.args == ("cannot open file",)


@pytest.mark.parametrize("function", [vellix.extract_links, vellix.extract])
def test_path_with_nul_names_no_file(tmp_path, function):
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
        links = links_of(tmp_path, annots, extra)
    except ValueError as e:
        assert str(e)
        return
    assert links == []
