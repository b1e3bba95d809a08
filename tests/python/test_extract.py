"""Result shapes of extract and extract_many."""
import pytest

import vellix
from pdfgen import pages_pdf

TEXT = b"BT /F1 12 Tf 72 700 Td (Hello world) Tj ET"
IMAGE = b"q 100 0 0 50 200 300 cm /Im1 Do Q"
RESOURCES = b"<< /Font << /F1 5 0 R >> /XObject << /Im1 6 0 R >> >>"
# A 2 x 1 RGB image stored without a filter.
IMAGE_OBJECT = (b"<< /Type /XObject /Subtype /Image /Width 2 /Height 1 /ColorSpace /DeviceRGB "
                b"/BitsPerComponent 8 /Length 6 >>\nstream\n\xff\x00\x00\x00\xff\x00\nendstream")

SPAN_KEYS = ["bbox", "text", "font", "size", "color"]
IMAGE_KEYS = ["bbox", "width", "height", "bpc", "colorspace", "xref", "ext", "image"]


def write(tmp_path, name, contents, resources=RESOURCES):
    return pages_pdf(contents, resources, {6: IMAGE_OBJECT}).write(tmp_path / name)


def check_bbox(bbox):
    assert type(bbox) is list and len(bbox) == 4
    assert all(type(v) is float for v in bbox)


def check_document(result):
    """Checks the [blocks, images] shape and every key and type; returns the texts and images."""
    assert type(result) is list and len(result) == 2
    blocks, images = result
    assert type(blocks) is list and type(images) is list
    texts = []
    for block in blocks:
        assert type(block) is dict and list(block) == ["type", "bbox", "lines"]
        assert type(block["type"]) is int and block["type"] == 0
        check_bbox(block["bbox"])
        assert type(block["lines"]) is list
        for line in block["lines"]:
            assert type(line) is dict and list(line) == ["bbox", "spans"]
            check_bbox(line["bbox"])
            assert type(line["spans"]) is list
            for span in line["spans"]:
                assert type(span) is dict and list(span) == SPAN_KEYS
                check_bbox(span["bbox"])
                assert type(span["text"]) is str and type(span["font"]) is str
                assert type(span["size"]) is float
                assert type(span["color"]) is int and 0 <= span["color"] < 2**32
                texts.append(span["text"])
    for image in images:
        assert type(image) is dict and list(image) == IMAGE_KEYS
        check_bbox(image["bbox"])
        for key in ("width", "height", "bpc", "xref"):
            assert type(image[key]) is int and image[key] >= 0
        assert type(image["colorspace"]) is str and type(image["ext"]) is str
        assert type(image["image"]) is bytes
    return texts, images


def test_text_and_image(tmp_path):
    path = write(tmp_path, "a.pdf", [TEXT + b"\n" + IMAGE])
    texts, images = check_document(vellix.extract(path))
    joined = " ".join(texts)
    assert "Hello" in joined and "world" in joined
    assert len(images) == 1
    assert images[0]["width"] == 2 and images[0]["height"] == 1 and images[0]["bpc"] == 8
    assert images[0]["xref"] == 6


def test_images_left_out_on_request(tmp_path):
    path = write(tmp_path, "a.pdf", [TEXT + b"\n" + IMAGE])
    blocks, images = vellix.extract(path, include_images=False)
    assert images == []
    assert blocks == vellix.extract(path)[0]


def test_pages_are_flattened_in_order(tmp_path):
    contents = [b"BT /F1 12 Tf 72 700 Td (Page%d) Tj ET" % i for i in range(1, 4)]
    path = write(tmp_path, "three.pdf", [contents[0], b"", contents[1], contents[2]])
    texts, images = check_document(vellix.extract(path))
    assert images == []
    assert [t.strip() for t in texts] == ["Page1", "Page2", "Page3"]


def test_empty_document(tmp_path):
    path = write(tmp_path, "empty.pdf", [b""])
    assert vellix.extract(path) == [[], []]


@pytest.mark.parametrize("kwargs", [
    {"page_parallel": False}, {"gpu": True}, {"batch_size": 0}, {"batch_size": 1},
])
def test_options_do_not_change_the_result(tmp_path, kwargs):
    contents = [b"BT /F1 12 Tf 72 700 Td (P%d) Tj ET" % i for i in range(5)]
    path = write(tmp_path, "five.pdf", contents)
    assert vellix.extract(path, **kwargs) == vellix.extract(path)


def test_extract_many_entries(tmp_path):
    good = write(tmp_path, "good.pdf", [TEXT + b"\n" + IMAGE])
    empty = write(tmp_path, "empty.pdf", [b""])
    missing = str(tmp_path / "missing.pdf")
    broken = tmp_path / "broken.pdf"
    broken.write_bytes(b"this is not a pdf")
    paths = [good, missing, empty, str(broken), good]
    result = vellix.extract_many(paths, include_images=True)
    assert type(result) is list and len(result) == len(paths)
    for entry, path in zip(result, paths):
        assert type(entry) is list and len(entry) == 2
        assert type(entry[0]) is str and entry[0] == path
    assert result[0][1] == vellix.extract(good)
    assert result[1][1] == []
    assert result[2][1] == [[], []]
    assert result[3][1] == []
    assert result[4][1] == result[0][1]
    # Images are left out by default.
    assert vellix.extract_many([good])[0][1][1] == []


def test_extract_many_parallel_matches_serial(tmp_path):
    paths = [write(tmp_path, "f%d.pdf" % i, [b"BT /F1 12 Tf 72 700 Td (F%d) Tj ET" % i])
             for i in range(10)]
    serial = vellix.extract_many(paths, file_parallel=False)
    assert vellix.extract_many(paths) == serial
    assert vellix.extract_many(paths, page_parallel=True, batch_size=0) == serial
    texts = [[t.strip() for t in check_document(doc)[0]] for _, doc in serial]
    assert texts == [["F%d" % i] for i in range(10)]


def test_extract_many_empty():
    assert vellix.extract_many([]) == []
    assert vellix.extract_many(()) == []


def test_extract_raises_value_error_for_broken_file(tmp_path):
    broken = tmp_path / "broken.pdf"
    broken.write_bytes(b"this is not a pdf")
    with pytest.raises(ValueError):
        vellix.extract(str(broken))
