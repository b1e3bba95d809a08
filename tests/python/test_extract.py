"""Result shapes of extract, extract_many and extract_pages on small built files."""
import pytest

import vellix
from pdfgen import jpeg_image, pages_pdf
from shapes import check_document, check_pages

TEXT = b"BT /F1 12 Tf 72 700 Td (Hello world) Tj ET"
IMAGE = b"q 100 0 0 50 200 300 cm /Im1 Do Q"
RESOURCES = b"<< /Font << /F1 5 0 R >> /XObject << /Im1 6 0 R >> >>"
IMAGE_OBJECT, JPEG = jpeg_image(2, 1)  # data that crosses unchanged


def write(tmp_path, name, contents, **kwargs):
    return pages_pdf(contents, RESOURCES, {6: IMAGE_OBJECT, 7: b"[595 842 0 0]"}, **kwargs).write(tmp_path / name)


def page_texts(result):
    return [t.strip() for t in check_document(result)[0]]


def test_extract_many_entries(tmp_path):
    good = write(tmp_path, "good.pdf", [TEXT + b"\n" + IMAGE])
    (tmp_path / "broken.pdf").write_bytes(b"this is not a pdf")
    paths = [good, tmp_path / "missing.pdf", write(tmp_path, "empty.pdf", [b""]), tmp_path / "broken.pdf", good]
    result = vellix.extract_many(paths, include_images=True)
    # [path as a str (path objects too), the result or [] where extract raises] for each path.
    assert result == [[str(p), r] for p, r in zip(paths, [vellix.extract(good), [], [[], []], [], vellix.extract(good)])]
    assert all(type(entry) is list and type(entry[0]) is str for entry in result)
    # Images are left out by default.
    assert vellix.extract_many([good])[0][1][1] == [] and vellix.extract_many([]) == vellix.extract_many(()) == []


def test_options_do_not_change_the_result(tmp_path):
    paths = [write(tmp_path, "f%d.pdf" % i, [b"BT /F1 12 Tf 72 700 Td (F%d P%d) Tj ET" % (i, p) for p in range(i % 4)])
             for i in range(10)]
    for kwargs in ({"page_parallel": False}, {"gpu": True}, {"batch_size": 0}, {"batch_size": 1}):
        assert vellix.extract(paths[3], **kwargs) == vellix.extract(paths[3])
    serial = vellix.extract_many(paths, file_parallel=False)
    assert vellix.extract_many(paths) == vellix.extract_many(paths, page_parallel=True, batch_size=0) == serial
    assert [page_texts(doc) for _, doc in serial] == [["F%d P%d" % (i, p) for p in range(i % 4)] for i in range(10)]
    assert serial[0][1] == [[], []]


# (page dictionary entries, width, height, rotation). The tree gives MediaBox [0 0 600 800] and
# Rotate -90 to every page that has none of its own.
PAGES = [
    (b"", 600.0, 800.0, 270),
    # A crop box wins over the media box; Rotate is taken modulo 360.
    (b"/CropBox [10 20 310 420] /Rotate 450", 300.0, 400.0, 90),
    # A box given by reference with its corners swapped; a crop box is clipped to the media
    # box; a Rotate that is no multiple of 90 is 0.
    (b"/MediaBox 7 0 R /CropBox [-50 -50 100 100] /Rotate 45", 100.0, 100.0, 0),
    # A crop box outside the media box, and a real Rotate.
    (b"/CropBox [700 900 800 1000] /Rotate 180.0", 600.0, 800.0, 180),
    # No area: the page has the default US Letter size. Its content cannot be fetched, so it
    # is present with no blocks.
    (b"/MediaBox [0 0 0 5] /Contents 99 0 R", 612.0, 792.0, 270),
]


def test_pages(tmp_path):
    link = b"/Annots [<< /Subtype /Link /Rect [1 2 3 4] /A << /S /URI /URI (http://p1) >> >>]"
    entries = [e + (link if i == 1 else b"") for i, (e, *_) in enumerate(PAGES)]
    contents = [b"BT /F1 12 Tf 20 50 Td (Page%d) Tj ET\n%s" % (i, IMAGE if i == 3 else b"") for i in range(len(PAGES))]
    path = write(tmp_path, "pages.pdf", contents, entries=entries, tree=b"/MediaBox [0 0 600 800] /Rotate -90")
    pages = vellix.extract_pages(path)
    assert check_pages(pages) == vellix.extract(path)
    assert [(p["width"], p["height"], p["rotation"]) for p in pages] == [tuple(row[1:]) for row in PAGES]
    assert [page_texts([p["blocks"], []]) for p in pages] == [["Page0"], ["Page1"], ["Page2"], ["Page3"], []]
    assert [[(i["xref"], i["width"], i["height"], i["bpc"], i["ext"], i["image"], i["bbox"]) for i in p["images"]]
            for p in pages] == [[], [], [], [(6, 2, 1, 8, "jpeg", JPEG, [200.0, 300.0, 300.0, 350.0])], []]
    assert [p["links"] for p in pages if p["links"]] == [vellix.extract_links(path)]
    assert pages[1]["links"][0]["page"] == 1
    # Images are left out on request, and nothing else changes.
    assert vellix.extract_pages(path, page_parallel=False, include_images=False) == [dict(p, images=[]) for p in pages]
    assert vellix.extract(path, include_images=False) == [vellix.extract(path)[0], []]
    assert vellix.extract_pages(write(tmp_path, "none.pdf", [])) == []
    with pytest.raises(ValueError, match="^cannot open file$"):
        vellix.extract_pages(tmp_path / "missing.pdf")
