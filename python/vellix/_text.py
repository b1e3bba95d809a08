"""Plain text of a page, in the order of its blocks."""
from ._types import Page


def page_text(page: Page) -> str:
    """Each line on a line of its own, a blank line between blocks."""
    return "\n".join(
        "".join("".join(span["text"] for span in line["spans"]) + "\n" for line in block["lines"])
        for block in page["blocks"])
