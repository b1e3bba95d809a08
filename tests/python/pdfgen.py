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
        data, dict_entries = _b(data), _b(dict_entries)
        if compress:
            data = zlib.compress(data)
            dict_entries = b"/Filter /FlateDecode " + dict_entries
        return self.add(num, b"<< /Length %d %s >>\nstream\n%s\nendstream" % (len(data), dict_entries, data))

    def build(self) -> bytes:
        out = bytearray(b"%PDF-1.7\n%\xe2\xe3\xcf\xd3\n")
        offsets = {}
        for num in sorted(self.objects):
            offsets[num] = len(out)
            out += b"%d 0 obj\n%s\nendobj\n" % (num, self.objects[num])
        size = max(self.objects, default=0) + 1
        xref_at = len(out)
        out += b"xref\n0 %d\n0000000000 65535 f \n" % size
        for n in range(1, size):
            out += b"%010d 00000 n \n" % offsets[n] if n in offsets else b"0000000000 65535 f \n"
        out += b"trailer\n<< /Size %d /Root %d 0 R %s >>\nstartxref\n%d\n%%%%EOF\n" % (
            size, self.root, self.trailer_extra, xref_at)
        return bytes(out)

    def write(self, path) -> str:
        with open(path, "wb") as f:
            f.write(self.build())
        return str(path)


def _page_tree(page_entries, first, step, extra) -> PdfBuilder:
    """Catalog 1 and page tree 2 over one page per entry: page k is object first + step * k,
    with the entry added to its dictionary; `extra` maps more object numbers to bodies."""
    b = PdfBuilder().add(1, b"<< /Type /Catalog /Pages 2 0 R >>")
    kids = []
    for k, entry in enumerate(page_entries):
        kids.append(b"%d 0 R" % (first + step * k))
        b.add(first + step * k, b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] " + _b(entry) + b" >>")
    b.add(2, b"<< /Type /Pages /Kids [" + b" ".join(kids) + b"] /Count %d >>" % len(kids))
    for num, body in (extra or {}).items():
        b.add(num, body)
    return b


def pages_pdf(contents, resources=b"<< /Font << /F1 5 0 R >> >>", extra=None) -> PdfBuilder:
    """A document with one page per content string. Object 5 is a simple Helvetica font;
    pages and their contents start at object 10. `extra` maps more object numbers to bodies."""
    res = b" /Resources " + _b(resources) if resources else b""
    b = _page_tree([b"/Contents %d 0 R" % (11 + 2 * i) + res for i in range(len(contents))], 10, 2, None)
    for i, content in enumerate(contents):
        b.add_stream(11 + 2 * i, b"", content)
    b.add(5, b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>")
    for num, body in (extra or {}).items():
        b.add(num, body)
    return b


def annotated_pdf(annots, extra=None) -> PdfBuilder:
    """A document with one page per entry of `annots`, each page carrying "/Annots <entry>"
    (no Annots entry when the entry is empty). Page i is object 200 + i; objects 100 to 199
    are free for `extra`, which maps object numbers to bodies."""
    return _page_tree([b"/Annots " + _b(a) if a else b"" for a in annots], 200, 1, extra)
