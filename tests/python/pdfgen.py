"""Builds small PDF files for tests: objects given as body bytes, then a classic
cross-reference table with the right offsets, the trailer and startxref."""
import io
import zlib


def _b(x):
    return x if isinstance(x, bytes) else str(x).encode("latin-1")


class PdfBuilder:
    def __init__(self):
        self.objects = {}

    def add(self, num, body):
        self.objects[num] = _b(body)
        return self

    def add_stream(self, num, dict_entries, data, compress=False):
        data, dict_entries = _b(data), _b(dict_entries)
        if compress:
            data, dict_entries = zlib.compress(data), b"/Filter /FlateDecode " + dict_entries
        return self.add(num, b"<< /Length %d %s >>\nstream\n%s\nendstream" % (len(data), dict_entries, data))

    def build(self):
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
        out += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (size, xref_at)
        return bytes(out)

    def write(self, path):
        with open(path, "wb") as f:
            f.write(self.build())
        return str(path)


FONT = b"<< /Font << /F1 5 0 R >> >>"


def jpeg_image(width, height):
    """The body of an image XObject holding a JPEG made by Pillow, and the JPEG's bytes."""
    from PIL import Image

    out = io.BytesIO()
    Image.new("RGB", (width, height), "red").save(out, "JPEG")
    data = out.getvalue()
    return (b"<< /Subtype /Image /Width %d /Height %d /ColorSpace /DeviceRGB /BitsPerComponent 8 /Filter /DCTDecode "
            b"/Length %d >>\nstream\n%s\nendstream" % (width, height, len(data), data)), data


def pages_pdf(contents, resources=FONT, extra=None, entries=None, tree=b"/MediaBox [0 0 612 792]") -> PdfBuilder:
    """One page per content string: page k is object 200 + k (`entries[k]` first in it, so they win
    over what follows), its content 300 + k; the tree node 2 carries `tree` for its pages to
    inherit; object 5 is Helvetica; `extra` maps more object numbers (below 200) to bodies."""
    b = PdfBuilder().add(1, b"<< /Type /Catalog /Pages 2 0 R >>").add(5, b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>")
    kids = b" ".join(b"%d 0 R" % (200 + k) for k in range(len(contents)))
    b.add(2, b"<< /Type /Pages /Kids [%s] /Count %d %s >>" % (kids, len(contents), _b(tree)))
    res = b" /Resources " + _b(resources) if resources else b""
    for k, content in enumerate(contents):
        entry = _b(entries[k]) if entries else b""
        b.add(200 + k, b"<< %s /Type /Page /Parent 2 0 R /Contents %d 0 R%s >>" % (entry, 300 + k, res))
        b.add_stream(300 + k, b"", content)
    for num, body in (extra or {}).items():
        b.add(num, body)
    return b


def annotated_pdf(annots, extra=None) -> PdfBuilder:
    """One empty page per entry of `annots` with "/Annots <entry>" (none for an empty entry)."""
    return pages_pdf([b""] * len(annots), None, extra, [b"/Annots " + _b(a) if a else b"" for a in annots])
