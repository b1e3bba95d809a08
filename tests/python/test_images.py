"""Every image record of the shared corpus is a file a viewer opens: "png" and "jpeg" records
open in Pillow with the record's width and height, and "jpx" records start with a JPEG 2000
signature (the JP2 box or a bare codestream)."""
import io
import pathlib
import warnings

import pytest

import vellix
from shapes import CORPUS_FILES

Image = pytest.importorskip("PIL.Image")

FILES = [str(p) for p in CORPUS_FILES]
JPX_SIGNATURES = (b"\x00\x00\x00\x0cjP  \r\n\x87\n", b"\xff\x4f\xff\x51")


@pytest.mark.skipif(not FILES, reason="corpus not found")
@pytest.mark.parametrize("path", FILES, ids=lambda p: pathlib.Path(p).name)
def test_image_records_open(path):
    try:
        images = vellix.extract(path)[1]
    except ValueError:
        pytest.skip("file does not open")
    Image.MAX_IMAGE_PIXELS = None  # scanned pages are large, and they are what is tested
    for n, record in enumerate(images):
        where = "%s image %d (%s, %s)" % (pathlib.Path(path).name, n, record["ext"], record["colorspace"])
        data = record["image"]
        assert record["ext"] in ("png", "jpeg", "jpx"), where
        if record["ext"] == "jpx":
            assert data.startswith(JPX_SIGNATURES), where
            continue
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            with Image.open(io.BytesIO(data)) as picture:
                assert picture.format == record["ext"].upper(), where
                assert picture.size == (record["width"], record["height"]), where
                picture.load()
