"""Extracts the text, images and links of a PDF file and prints a summary.

Usage: python3 examples/sample.py [file.pdf]   (default: the sample next to this script)
"""
import os
import sys

import vellix

path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "sample.pdf")

blocks, images = vellix.extract(path)
print(f"vellix {vellix.__version__}: {path}")
print(f"{len(blocks)} text blocks, {len(images)} images")
for block in blocks:
    for line in block["lines"]:
        print("  " + "".join(span["text"] for span in line["spans"]))
for image in images:
    print(f"  image {image['width']}x{image['height']} {image['colorspace']} "
          f"{image['ext']}, {len(image['image'])} bytes")
for link in vellix.extract_links(path):
    print(f"  link on page {link['page']}: {link['uri']}")
