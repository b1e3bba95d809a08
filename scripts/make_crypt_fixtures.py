"""Writes plain.pdf (one page: text, a small Flate image, a link, a metadata stream and an
/Info title whose string holds parentheses, a backslash and a carriage return) and encrypts it
with qpdf, once per kind of the standard security handler, all with an empty user password
but one. qpdf's --static-id and --static-aes-iv keep the output the same from run to run,
except for the random salts of the AES-256 files.

    python3 scripts/make_crypt_fixtures.py    (needs qpdf: apt-get install qpdf)

It also writes the seeds of fuzz/crypt_fuzzer.cpp: each encrypted file's encryption
dictionary, its first /ID and one of its encrypted objects.
"""
import pathlib
import re
import subprocess
import zlib

REPO = pathlib.Path(__file__).resolve().parents[1]
HERE = REPO / "tests" / "data" / "crypt"
SEEDS = REPO / "fuzz" / "seeds" / "crypt"

# name: the qpdf arguments after --encrypt
VARIANTS = {
    "rc4-40": ["", "owner", "40"],                                  # V1 R2
    "rc4-128": ["", "owner", "128", "--use-aes=n"],                 # V2 R3
    "aes-128": ["", "owner", "128", "--use-aes=y"],                 # V4 R4, AESV2
    "aes-128-clear-metadata": ["", "owner", "128", "--use-aes=y", "--cleartext-metadata"],
    "aes-256-r5": ["", "owner", "256", "--force-R5"],               # V5 R5
    "aes-256": ["", "owner", "256"],                                # V5 R6
    "user-password": ["user", "owner", "128", "--use-aes=y"],
}
OBJECT_STREAMS = {"aes-128", "aes-256"}


def plain_pdf() -> bytes:
    pixels = bytes([255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 0] * 4)  # 4 x 4 RGB
    image = zlib.compress(pixels)
    content = b"BT /F1 18 Tf 72 720 Td (Encrypted \\(but readable\\) text) Tj ET\n" \
              b"q 40 0 0 40 72 600 cm /Im1 Do Q\n"
    metadata = b"<x:xmpmeta xmlns:x='adobe:ns:meta/'></x:xmpmeta>"
    objects = [
        b"<< /Type /Catalog /Pages 2 0 R /Metadata 8 0 R >>",
        b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R"
        b" /Resources << /Font << /F1 5 0 R >> /XObject << /Im1 6 0 R >> >> /Annots [7 0 R] >>",
        b"<< /Length %d >>\nstream\n" % len(content) + content + b"\nendstream",
        b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>",
        b"<< /Type /XObject /Subtype /Image /Width 4 /Height 4 /ColorSpace /DeviceRGB"
        b" /BitsPerComponent 8 /Filter /FlateDecode /Length %d >>\nstream\n" % len(image)
        + image + b"\nendstream",
        b"<< /Type /Annot /Subtype /Link /Rect [72 710 300 740] /Border [0 0 0]"
        b" /A << /S /URI /URI (https://example.com/a\\(b\\)?q=1) >> >>",
        b"<< /Type /Metadata /Subtype /XML /Length %d >>\nstream\n" % len(metadata)
        + metadata + b"\nendstream",
        b"<< /Title (Title \\(with\\) a \\\\ and a\\rreturn) >>",
    ]
    out = bytearray(b"%PDF-1.7\n%\xe2\xe3\xcf\xd3\n")
    offsets = []
    for num, body in enumerate(objects, 1):
        offsets.append(len(out))
        out += b"%d 0 obj\n" % num + body + b"\nendobj\n"
    xref = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)
    for off in offsets:
        out += b"%010d 00000 n \n" % off
    out += b"trailer\n<< /Size %d /Root 1 0 R /Info 9 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (
        len(objects) + 1, xref)
    return bytes(out)


def main() -> None:
    plain = HERE / "plain.pdf"
    plain.write_bytes(plain_pdf())
    for name, args in VARIANTS.items():
        cmd = ["qpdf", "--static-id", "--static-aes-iv", "--allow-weak-crypto"]
        if name in OBJECT_STREAMS:
            cmd.append("--object-streams=generate")
        cmd += ["--encrypt", *args, "--", str(plain), str(HERE / f"{name}.pdf")]
        subprocess.run(cmd, check=True)
    SEEDS.mkdir(parents=True, exist_ok=True)
    for name in VARIANTS:
        if name not in OBJECT_STREAMS:
            write_seed(name)


def write_seed(name: str) -> None:
    """Encryption dictionary, line feed, /ID bytes, line feed, the first encrypted stream."""
    data = (HERE / f"{name}.pdf").read_bytes()
    num = re.search(rb"/Encrypt (\d+) 0 R", data).group(1)
    encrypt = re.search(rb"\n" + num + rb" 0 obj\s*(.*?)\s*endobj", data, re.S).group(1)
    first_id = bytes.fromhex(re.search(rb"/ID\s*\[\s*<([0-9a-fA-F]+)>", data).group(1).decode())
    start = re.search(rb"\n\d+ 0 obj\s*<<[^>]*/Length \d+[^>]*>>\s*stream", data).start()
    stream = data[data.index(b"obj", start) + 3:data.index(b"endobj", start)]
    (SEEDS / name).write_bytes(encrypt + b"\n" + first_id.replace(b"\n", b" ") + b"\n" + stream)


if __name__ == "__main__":
    main()
