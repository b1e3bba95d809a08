"""The installed command line, run as a subprocess over built files and corpus files."""
import base64
import json
import os
import shutil
import subprocess
import sys

import pytest

import vellix
from pdfgen import jpeg_image, pages_pdf
from shapes import CORPUS_FILES
from vellix._text import page_text

VELLIX = shutil.which("vellix", path=os.path.dirname(sys.executable)) or "vellix"
LINK = b"/Annots [<< /Subtype /Link /Rect [1 2 3.5 4] /A << /S /URI /URI (http://x.org) >> >>]"


def run(*args, command=(VELLIX,)):
    proc = subprocess.run([*command, *map(str, args)], capture_output=True, text=True, timeout=120)
    return proc.returncode, proc.stdout, proc.stderr


@pytest.fixture(scope="module")
def docs(tmp_path_factory):
    """a.pdf (two pages, a JPEG image and a link on the first), b.pdf, broken.pdf, sub/c.pdf."""
    root = tmp_path_factory.mktemp("docs")
    (root / "sub").mkdir()
    text = b"BT /F1 12 Tf 72 700 Td (%s) Tj ET"
    pages_pdf([text % b"Alpha" + b" q 4 0 0 3 9 9 cm /Im1 Do Q", text % b"Beta"],
              b"<< /Font << /F1 5 0 R >> /XObject << /Im1 6 0 R >> >>", {6: jpeg_image(4, 3)[0]},
              [LINK, b""]).write(root / "a.pdf")
    pages_pdf([text % b"Gamma"]).write(root / "b.pdf")
    pages_pdf([text % b"Delta"]).write(root / "sub" / "c.pdf")
    (root / "broken.pdf").write_bytes(b"not a pdf")
    return root


def text_of(path):
    return "".join(page_text(page) + "\f" for page in vellix.extract_pages(path))


def test_help_version_and_usage():
    status, out, _ = run("--help")
    assert status == 0 and all(c in out for c in ("text", "json", "links", "images"))
    assert run("--help", command=(sys.executable, "-m", "vellix")) == (0, out, "")
    assert run("--version") == (0, "vellix %s\n" % vellix.__version__, "")
    assert "--recursive" in run("text", "--help")[1] and run()[0] == run("images", "x.pdf")[0] == 2  # usage errors


def test_text(docs, tmp_path):
    a = docs / "a.pdf"
    expected = text_of(a)
    assert expected.count("\f") == 2 and "Alpha" in expected.split("\f")[0]
    assert run("text", a) == (0, expected, "")
    assert run("text", a, "-o", tmp_path / "a.txt")[0] == 0 and (tmp_path / "a.txt").read_text() == expected


def test_folders_and_failures(docs, tmp_path):
    # A bad file and a missing one are reported while the others go on; the status says so.
    status, out, err = run("text", docs, tmp_path / "missing.pdf", "-j", "2")
    assert status == 1 and out == text_of(docs / "a.pdf") + text_of(docs / "b.pdf")
    assert "broken.pdf: " in err and "missing.pdf: cannot open file" in err and len(err.splitlines()) == 2
    assert run("text", docs / "sub")[0] == 0 and run("text", tmp_path)[0] == 1  # no PDF there
    # One output file per input, under the folder's own names.
    assert run("text", "-r", docs, "-o", tmp_path / "out")[0] == 1
    written = sorted(p.relative_to(tmp_path / "out").as_posix() for p in (tmp_path / "out").rglob("*"))
    assert written == ["a.txt", "b.txt", "sub", "sub/c.txt"]
    assert (tmp_path / "out" / "sub" / "c.txt").read_text() == text_of(docs / "sub" / "c.pdf")


def test_json(docs):
    a = str(docs / "a.pdf")
    status, out, _ = run("json", a)
    pages = vellix.extract_pages(a)
    for page in pages:
        page["images"] = [dict(i, image=base64.b64encode(i["image"]).decode()) for i in page["images"]]
    assert status == 0 and json.loads(out) == {"path": a, "pages": pages}
    status, out, _ = run("json", "--jsonl", "--no-images", docs / "b.pdf", a)
    lines = [json.loads(line) for line in out.splitlines()]
    assert [(r["path"], r["number"], r["images"]) for r in lines] == [(str(docs / "b.pdf"), 0, []), (a, 0, []), (a, 1, [])]
    assert [doc["path"] for doc in json.loads(run("json", a, docs / "b.pdf")[1])] == [a, str(docs / "b.pdf")]


def test_links(docs):
    assert run("links", docs / "a.pdf") == (0, "0\thttp://x.org\t1 2 3.5 4\n", "")
    status, out, _ = run("links", "--json", docs)
    assert status == 1 and [json.loads(line) for line in out.splitlines()] == [
        {"path": str(docs / "a.pdf"), "uri": "http://x.org", "bbox": [1, 2, 3.5, 4], "page": 0}]


def test_images(docs, tmp_path):
    from PIL import Image

    status, out, _ = run("images", docs / "a.pdf", "-o", tmp_path)
    assert status == 0 and os.listdir(tmp_path) == ["a-p0-0-x6.jpeg"]
    with Image.open(tmp_path / "a-p0-0-x6.jpeg") as image:
        assert image.size == (4, 3)


@pytest.mark.skipif(not CORPUS_FILES, reason="corpus not found")
def test_corpus_files_in_parallel(tmp_path):
    for f in CORPUS_FILES[:8]:
        (tmp_path / f.name).symlink_to(f)
    assert run("text", "--jobs", "2", tmp_path) == run("text", "--jobs", "1", *sorted(tmp_path.iterdir()))
    assert run("text", CORPUS_FILES[0]) == (0, text_of(CORPUS_FILES[0]), "") and text_of(CORPUS_FILES[0]).strip()
