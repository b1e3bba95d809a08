"""Vellix — high-performance PDF text and image extraction."""
from ._vellix import __version__, extract, extract_links, extract_many, extract_pages
from ._types import Block, Image, Line, Link, Page, Span

__all__ = [
    "extract", "extract_many", "extract_links", "extract_pages", "__version__",
    "Block", "Line", "Span", "Image", "Link", "Page",
]
