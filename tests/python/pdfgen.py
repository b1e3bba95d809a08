"""Builds small PDF files for tests, byte by byte.

Objects are given as body bytes; the builder writes the header, each object, a classic
cross-reference table with the right offsets, the trailer and startxref.
"""
from __future__ import annotations

import zlib


def _b(x) -> bytes:
    return x if isinstance(x, bytes) else str(x).encode("latin-1")


class PdfBuilder:
    def __init__(self) -> None:
        self.objects: dict[int, bytes] = {}
        self.root = 1
        self.trailer_extra = b""

    def add(self, num: int, body) -> "PdfBuilder":
        self.objects[num] = _b(body)
        return self

    def add_stream(self, num: int, dict_entries, data, compress: bool = False) -> "PdfBuilder":
        data = _b(data)
        dict_entries = _b(dict_entries)
        if compress:
            data = zlib.compress(data)
            dict_entries = b"/Filter /FlateDecode " + dict_entries
        self.objects[num] = (b"<< /Length " + _b(len(data)) + b" " + dict_entries +
                             b" >>\nstream\n" + data + b"\nendstream")
        return self

    def build(self) -> bytes:
        out = bytearray(b"%PDF-1.7\n%\xe2\xe3\xcf\xd3\n")
        offsets = {}
        for num in sorted(self.objects):
            offsets[num] = len(out)
            out += _b(num) + b" 0 obj\n" + self.objects[num] + b"\nendobj\n"
        size = max(self.objects, default=0) + 1
        xref_at = len(out)
        out += b"xref\n0 " + _b(size) + b"\n0000000000 65535 f \n"
        for n in range(1, size):
            if n in offsets:
                out += b"%010d 00000 n \n" % offsets[n]
            else:
                out += b"0000000000 65535 f \n"
        out += (b"trailer\n<< /Size " + _b(size) + b" /Root " + _b(self.root) + b" 0 R " +
                self.trailer_extra + b" >>\nstartxref\n" + _b(xref_at) + b"\n%%EOF\n")
        return bytes(out)

    def write(self, path) -> str:
        with open(path, "wb") as f:
            f.write(self.build())
        return str(path)


def pages_pdf(contents, resources=b"<< /Font << /F1 5 0 R >> >>", extra=None) -> PdfBuilder:
    """A document with one page per content string. Object 5 is a simple Helvetica font;
    pages and their contents start at object 10. `extra` maps more object numbers to bodies."""
    b = PdfBuilder()
    b.add(1, b"<< /Type /Catalog /Pages 2 0 R >>")
    kids = []
    for i, content in enumerate(contents):
        page_num = 10 + 2 * i
        kids.append(_b(page_num) + b" 0 R")
        page = (b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents " +
                _b(page_num + 1) + b" 0 R")
        if resources:
            page += b" /Resources " + _b(resources)
        b.add(page_num, page + b" >>")
        b.add_stream(page_num + 1, b"", content)
    b.add(2, b"<< /Type /Pages /Kids [" + b" ".join(kids) + b"] /Count " + _b(len(kids)) + b" >>")
    b.add(5, b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>")
    for num, body in (extra or {}).items():
        b.add(num, body)
    return b


def annotated_pdf(annots, extra=None) -> PdfBuilder:
    """A document with one page per entry of `annots`, each page carrying "/Annots <entry>"
    (no Annots entry when the entry is empty). Page i is object 200 + i; objects 100 to 199
    are free for `extra`, which maps object numbers to bodies."""
    b = PdfBuilder()
    b.add(1, b"<< /Type /Catalog /Pages 2 0 R >>")
    kids = []
    for i, annot in enumerate(annots):
        num = 200 + i
        kids.append(_b(num) + b" 0 R")
        page = b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792]"
        if annot:
            page += b" /Annots " + _b(annot)
        b.add(num, page + b" >>")
    b.add(2, b"<< /Type /Pages /Kids [" + b" ".join(kids) + b"] /Count " + _b(len(kids)) + b" >>")
    for num, body in (extra or {}).items():
        b.add(num, body)
    return b
