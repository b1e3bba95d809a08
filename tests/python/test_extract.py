"""Result shapes of extract and extract_many."""
import pytest

import vellix
from pdfgen import pages_pdf
from shapes import check_document

TEXT = b"BT /F1 12 Tf 72 700 Td (Hello world) Tj ET"
IMAGE = b"q 100 0 0 50 200 300 cm /Im1 Do Q"
RESOURCES = b"<< /Font << /F1 5 0 R >> /XObject << /Im1 6 0 R >> >>"
# A 2 x 1 RGB image stored without a filter.
IMAGE_OBJECT = (b"<< /Type /XObject /Subtype /Image /Width 2 /Height 1 /ColorSpace /DeviceRGB "
                b"/BitsPerComponent 8 /Length 6 >>\nstream\n\xff\x00\x00\x00\xff\x00\nendstream")


def write(tmp_path, name, contents):
    return pages_pdf(contents, RESOURCES, {6: IMAGE_OBJECT}).write(tmp_path / name)


def test_text_and_image(tmp_path):
    path = write(tmp_path, "a.pdf", [TEXT + b"\n" + IMAGE])
    texts, images = check_document(vellix.extract(path))
    assert "Hello" in " ".join(texts) and "world" in " ".join(texts)
    assert [(i["width"], i["height"], i["bpc"], i["xref"], i["ext"]) for i in images] == [(2, 1, 8, 6, "png")]
    # The samples come back as a PNG file (test_images.py opens such files with Pillow).
    assert images[0]["image"].startswith(b"\x89PNG\r\n\x1a\n")
    assert images[0]["bbox"] == [200.0, 300.0, 300.0, 350.0]
    # Images are left out on request, and nothing else changes.
    blocks, images = vellix.extract(path, include_images=False)
    assert images == [] and blocks == vellix.extract(path)[0]


def test_pages_are_flattened_in_order(tmp_path):
    contents = [b"BT /F1 12 Tf 72 700 Td (Page%d) Tj ET" % i for i in range(1, 4)]
    path = write(tmp_path, "three.pdf", [contents[0], b"", contents[1], contents[2]])
    texts, images = check_document(vellix.extract(path))
    assert images == [] and [t.strip() for t in texts] == ["Page1", "Page2", "Page3"]
    assert vellix.extract(write(tmp_path, "empty.pdf", [b""])) == [[], []]


@pytest.mark.parametrize("kwargs", [{"page_parallel": False}, {"gpu": True}, {"batch_size": 0}, {"batch_size": 1}])
def test_options_do_not_change_the_result(tmp_path, kwargs):
    path = write(tmp_path, "five.pdf", [b"BT /F1 12 Tf 72 700 Td (P%d) Tj ET" % i for i in range(5)])
    assert vellix.extract(path, **kwargs) == vellix.extract(path)


def test_extract_many_entries(tmp_path):
    good = write(tmp_path, "good.pdf", [TEXT + b"\n" + IMAGE])
    empty = write(tmp_path, "empty.pdf", [b""])
    missing = str(tmp_path / "missing.pdf")
    broken = tmp_path / "broken.pdf"
    broken.write_bytes(b"this is not a pdf")
    paths = [good, missing, empty, str(broken), good]
    result = vellix.extract_many(paths, include_images=True)
    assert type(result) is list and all(type(entry) is list for entry in result)
    assert [entry[0] for entry in result] == paths and all(type(entry[0]) is str for entry in result)
    # A file that cannot be read gives an empty list, where extract raises.
    assert [entry[1] for entry in result] == [vellix.extract(good), [], [[], []], [], vellix.extract(good)]
    with pytest.raises(ValueError):
        vellix.extract(str(broken))
    # Images are left out by default.
    assert vellix.extract_many([good])[0][1][1] == []
    assert vellix.extract_many([]) == [] and vellix.extract_many(()) == []


def test_extract_many_parallel_matches_serial(tmp_path):
    paths = [write(tmp_path, "f%d.pdf" % i, [b"BT /F1 12 Tf 72 700 Td (F%d) Tj ET" % i]) for i in range(10)]
    serial = vellix.extract_many(paths, file_parallel=False)
    assert vellix.extract_many(paths) == serial
    assert vellix.extract_many(paths, page_parallel=True, batch_size=0) == serial
    assert [[t.strip() for t in check_document(doc)[0]] for _, doc in serial] == [["F%d" % i] for i in range(10)]
