"""The shapes of vellix's results, as TypedDicts for type checkers (at run time they are plain
dicts). Boxes are [x0, y0, x1, y1] in PDF user space: points, y growing upwards."""
from typing import List, Literal, TypedDict


class Span(TypedDict):
    bbox: List[float]
    text: str
    font: str
    size: float
    color: int


class Line(TypedDict):
    bbox: List[float]
    spans: List[Span]


class Block(TypedDict):
    type: Literal[0]
    bbox: List[float]
    lines: List[Line]


class Image(TypedDict):
    bbox: List[float]
    width: int
    height: int
    bpc: int
    colorspace: str
    xref: int
    ext: str
    image: bytes


class Link(TypedDict):
    uri: str
    bbox: List[float]
    page: int


class Page(TypedDict):
    number: int
    width: float
    height: float
    rotation: Literal[0, 90, 180, 270]
    blocks: List[Block]
    images: List[Image]
    links: List[Link]
