"""Checks of the documented result shapes, shared by the tests of built files and of the corpus."""

SPAN_KEYS = ["bbox", "text", "font", "size", "color"]
IMAGE_KEYS = ["bbox", "width", "height", "bpc", "colorspace", "xref", "ext", "image"]


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
        assert type(block) is dict and list(block) == ["type", "bbox", "lines"] and block["type"] == 0
        check_bbox(block["bbox"])
        for line in block["lines"]:
            assert type(line) is dict and list(line) == ["bbox", "spans"]
            check_bbox(line["bbox"])
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
        assert type(image["colorspace"]) is str and image["ext"] in ("jpeg", "jpx", "png")
        assert type(image["image"]) is bytes
    return texts, images


def check_link(link):
    assert type(link) is dict and list(link) == ["uri", "bbox", "page"]
    assert type(link["uri"]) is str
    check_bbox(link["bbox"])
    assert type(link["page"]) is int and link["page"] >= 0


PAGE_KEYS = ["number", "width", "height", "rotation", "blocks", "images", "links"]


def check_pages(pages):
    """Checks extract_pages' shape; returns [blocks, images] as extract would give them."""
    assert type(pages) is list
    for number, page in enumerate(pages):
        assert type(page) is dict and list(page) == PAGE_KEYS and page["number"] == number
        assert type(page["width"]) is float and type(page["height"]) is float
        assert page["width"] > 0 and page["height"] > 0 and page["rotation"] in (0, 90, 180, 270)
        for link in page["links"]:
            check_link(link)
            assert link["page"] == number
    result = [[b for p in pages for b in p["blocks"]], [i for p in pages for i in p["images"]]]
    check_document(result)
    return result
