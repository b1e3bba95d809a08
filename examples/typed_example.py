"""A typed program over every result of vellix, checked with mypy --strict by the tests.

Usage: python3 examples/typed_example.py [file.pdf]   (default: the sample next to this script)
"""
import pathlib
import sys

import vellix


def describe_block(block: vellix.Block) -> list[str]:
    out = [f"block type {block['type']} at {block['bbox']}"]
    for line in block["lines"]:
        line_box: list[float] = line["bbox"]
        for span in line["spans"]:
            text: str = span["text"]
            font: str = span["font"]
            size: float = span["size"]
            color: int = span["color"]
            out.append(f"  {text!r} {font} {size:g}pt #{color:06x} {span['bbox']} in {line_box}")
    return out


def describe_image(image: vellix.Image) -> str:
    data: bytes = image["image"]
    return (f"image xref {image['xref']}: {image['width']}x{image['height']} {image['bpc']} bpc "
            f"{image['colorspace']} .{image['ext']}, {len(data)} bytes at {image['bbox']}")


def describe_link(link: vellix.Link) -> str:
    return f"link on page {link['page']} to {link['uri']} at {link['bbox']}"


def main(path: pathlib.Path) -> None:
    print(f"vellix {vellix.__version__}")
    blocks, images = vellix.extract(path, page_parallel=True, include_images=True, gpu=False, batch_size=50)
    print(f"{len(blocks)} blocks, {len(images)} images")
    for page in vellix.extract_pages(path, page_parallel=True, include_images=True):
        number: int = page["number"]
        print(f"page {number}: {page['width']:g} x {page['height']:g}, rotated {page['rotation']}")
        for block in page["blocks"]:
            print("\n".join(describe_block(block)))
        for image in page["images"]:
            print(describe_image(image))
        for link in page["links"]:
            print(describe_link(link))
    for link in vellix.extract_links(str(path)):
        print(describe_link(link))
    for name, result in vellix.extract_many([path, "missing.pdf"], file_parallel=True, page_parallel=False,
                                            include_images=False, gpu=False, batch_size=50):
        if result:
            print(f"{name}: {len(result[0])} blocks, {len(result[1])} images")
        else:
            print(f"{name}: failed")


if __name__ == "__main__":
    main(pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).with_name("sample.pdf")))
