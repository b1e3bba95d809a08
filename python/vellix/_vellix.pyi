# Types of the extension module. The results are lists at run time; the pairs [blocks, images]
# and [path, result] are typed as tuples so that unpacking them gives each part its own type.
import os
from typing import List, Sequence, Tuple, Union

from ._types import Block, Image, Link, Page

StrPath = Union[str, "os.PathLike[str]"]
BlocksAndImages = Tuple[List[Block], List[Image]]

__version__: str

def extract(path: StrPath, page_parallel: bool = True, include_images: bool = True,
            gpu: bool = False, batch_size: int = 50) -> BlocksAndImages: ...
def extract_many(paths: Sequence[StrPath], file_parallel: bool = True,
                 page_parallel: bool = False, include_images: bool = False, gpu: bool = False,
                 batch_size: int = 50) -> List[Tuple[str, Union[BlocksAndImages, Tuple[()]]]]: ...
def extract_links(path: StrPath) -> List[Link]: ...
def extract_pages(path: StrPath, page_parallel: bool = True,
                  include_images: bool = True) -> List[Page]: ...
