"""The vellix command line: the text, pages, links or images of PDF files.

    vellix text FILE...            text in reading order, a form feed after each page
    vellix json FILE...            pages as JSON (--jsonl: one page per line)
    vellix links FILE...           one link per line: page, URI, box (--json: JSON Lines)
    vellix images FILE... -o DIR   every image as a file

A folder stands for the PDF files in it (--recursive: under it). Files run in parallel
processes (--jobs). A file that fails is reported on standard error and the others go on; the
exit status is 1 when any failed, 2 for a usage error.
"""
from __future__ import annotations

import argparse
import base64
import io
import json
import os
import sys
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path
from typing import Any, Callable, Iterable, Iterator, List, Optional, Tuple

from . import __version__, extract_links, extract_pages
from ._text import page_text

# (path, name of its outputs relative to the output folder); the name keeps the path under a
# folder given on the command line, so that files of one name in two subfolders stay apart.
Input = Tuple[Path, Path]
# What a job gives back for one file: its output, or None and the error text.
Outcome = Tuple[Optional[str], Optional[str]]


def find_inputs(names: List[str], recursive: bool) -> Tuple[List[Input], List[str]]:
    """The files named, folders expanded into their PDF files; and the folders without any."""
    inputs: List[Input] = []
    empty: List[str] = []
    for name in names:
        root = Path(name)
        if not root.is_dir():
            inputs.append((root, Path(root.name)))  # a missing file fails with vellix's error
            continue
        found = sorted(p for p in (root.rglob("*") if recursive else root.iterdir())
                       if p.suffix.lower() == ".pdf" and p.is_file())
        inputs += [(p, p.relative_to(root)) for p in found]
        if not found:
            empty.append(name)
    return inputs, empty


def text_of(path: str, parallel: bool) -> str:
    pages = extract_pages(path, page_parallel=parallel, include_images=False)
    return "".join(page_text(page) + "\f" for page in pages)


def pages_json(path: str, parallel: bool, images: bool) -> List[dict[str, Any]]:
    pages: List[dict[str, Any]] = []
    for page in extract_pages(path, page_parallel=parallel, include_images=images):
        record: dict[str, Any] = dict(page)
        record["images"] = [dict(image, image=base64.b64encode(image["image"]).decode("ascii"))
                            for image in page["images"]]
        pages.append(record)
    return pages


def json_of(path: str, parallel: bool, images: bool, lines: bool) -> str:
    pages = pages_json(path, parallel, images)
    if lines:
        return "".join(json.dumps({"path": path, **page}) + "\n" for page in pages)
    return json.dumps({"path": path, "pages": pages})


def links_of(path: str, as_json: bool, with_path: bool) -> str:
    out = []
    for link in extract_links(path):
        if as_json:
            out.append(json.dumps({"path": path, **link}) + "\n")
        else:
            box = " ".join("%g" % v for v in link["bbox"])
            out.append(("%s\t" % path if with_path else "") + "%d\t%s\t%s\n" % (link["page"], link["uri"], box))
    return "".join(out)


def images_of(path: str, parallel: bool, folder: str, stem: str) -> str:
    """Writes every image of the file into `folder` as STEM-pPAGE-INDEX-xXREF.EXT; returns the
    names written, one a line."""
    written = []
    os.makedirs(folder, exist_ok=True)
    for page in extract_pages(path, page_parallel=parallel, include_images=True):
        for index, image in enumerate(page["images"]):
            name = "%s-p%d-%d-x%d.%s" % (stem, page["number"], index, image["xref"], image["ext"])
            with open(os.path.join(folder, name), "wb") as f:
                f.write(image["image"])
            written.append(name + "\n")
    return "".join(written)


def run(job: Callable[..., str], path: str, *args: Any) -> Outcome:
    """The job's output for one file, or its error text."""
    try:
        return job(path, *args), None
    except (ValueError, OSError) as e:
        return None, str(e) or type(e).__name__


def _run_packed(packed: Tuple[Any, ...]) -> Outcome:
    return run(*packed)


def outcomes(calls: List[Tuple[Any, ...]], jobs: int) -> Iterator[Outcome]:
    """Each call's outcome in order; several files run in as many processes as `jobs`."""
    if jobs <= 1 or len(calls) <= 1:
        yield from map(_run_packed, calls)
        return
    with ProcessPoolExecutor(max_workers=min(jobs, len(calls))) as pool:
        yield from pool.map(_run_packed, calls)


def progress(items: Iterable[Outcome], total: int) -> Iterable[Outcome]:
    """A progress bar on standard error when that is a terminal and tqdm is installed."""
    if total < 2 or not sys.stderr.isatty():
        return items
    try:
        from tqdm import tqdm  # type: ignore[import-untyped]
    except ImportError:
        return items
    bar: Iterable[Outcome] = tqdm(items, total=total, unit="file", file=sys.stderr)
    return bar


def parse_args(argv: Optional[List[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="vellix", description="Extract the text, pages, links or images of PDF files.",
        epilog="A folder stands for every PDF file in it. Exit status: 0 when every file was "
               "read, 1 when any failed (each failure is reported on standard error), 2 for "
               "a usage error.")
    parser.add_argument("--version", action="version", version="vellix " + __version__)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("inputs", nargs="+", metavar="FILE", help="PDF files or folders")
    common.add_argument("-r", "--recursive", action="store_true",
                        help="take the PDF files of folders at any depth")
    common.add_argument("-j", "--jobs", type=int, default=os.cpu_count() or 1,
                        help="files extracted at once, in as many processes (default: all cores)")
    text = commands.add_parser(
        "text", parents=[common], help="text in reading order",
        description="Each file's text in reading order, a form feed after each page.")
    json_ = commands.add_parser(
        "json", parents=[common], help="pages as JSON",
        description="Each file's pages as JSON, {\"path\", \"pages\"}, image data in base64.")
    json_.add_argument("--no-images", action="store_true", help="leave images out")
    json_.add_argument("--jsonl", action="store_true",
                       help="JSON Lines: one page a line, {\"path\", \"number\", ...}")
    for command in (text, json_):
        command.add_argument("-o", "--output", metavar="OUT",
                             help="output file; a folder (one file per input) for several "
                                  "inputs (default: standard output)")
    links = commands.add_parser(
        "links", parents=[common], help="web links",
        description="One link a line: page (from 0), URI and box, tab-separated, the file "
                    "first when there are several.")
    links.add_argument("--json", action="store_true",
                       help="JSON Lines: {\"path\", \"uri\", \"bbox\", \"page\"}")
    links.add_argument("-o", "--output", metavar="OUT", help="output file")
    images = commands.add_parser(
        "images", parents=[common], help="images as files",
        description="Writes every image as NAME-pPAGE-INDEX-xOBJECT.EXT, with the extension "
                    "vellix reports (jpeg, png, ...).")
    images.add_argument("-o", "--output", metavar="DIR", required=True, help="output folder")
    return parser.parse_args(argv)


def main(argv: Optional[List[str]] = None) -> int:
    args = parse_args(argv)
    if isinstance(sys.stdout, io.TextIOWrapper):
        sys.stdout.reconfigure(encoding="utf-8")  # text is UTF-8 whatever the locale, as pdftotext's
    inputs, empty = find_inputs(args.inputs, args.recursive)
    failed = len(empty)
    for name in empty:
        print("vellix: %s: no PDF files" % name, file=sys.stderr)
    parallel = args.jobs <= 1 or len(inputs) <= 1  # pages on the pool only for one process
    calls: List[Tuple[Any, ...]]
    if args.command == "text":
        suffix, calls = ".txt", [(text_of, str(p), parallel) for p, _ in inputs]
    elif args.command == "json":
        suffix = ".jsonl" if args.jsonl else ".json"
        calls = [(json_of, str(p), parallel, not args.no_images, args.jsonl) for p, _ in inputs]
    elif args.command == "links":
        several = len(inputs) > 1 or any(Path(name).is_dir() for name in args.inputs)
        suffix, calls = "", [(links_of, str(p), args.json, several) for p, _ in inputs]
    else:
        suffix = ""
        calls = [(images_of, str(p), parallel, str(Path(args.output) / rel.parent), rel.stem)
                 for p, rel in inputs]

    # One output stream, or (text and json into a folder, or of several inputs) one file per input.
    single = len(args.inputs) == 1 and not Path(args.inputs[0]).is_dir()
    per_file = (args.command in ("text", "json") and args.output is not None and
                not getattr(args, "jsonl", False) and (not single or Path(args.output).is_dir()))
    stream = sys.stdout
    if args.output and not per_file and args.command != "images":
        stream = open(args.output, "w", encoding="utf-8")
    as_array = args.command == "json" and not args.jsonl and not per_file and len(inputs) > 1
    first = True
    try:
        if as_array:
            stream.write("[")
        for (path, rel), (output, error) in zip(inputs, progress(outcomes(calls, args.jobs), len(calls))):
            if error is not None:
                failed += 1
                print("vellix: %s: %s" % (path, error), file=sys.stderr)
                continue
            assert output is not None
            if args.command == "images":
                continue
            if per_file:
                target = Path(args.output) / rel.with_suffix(suffix)
                target.parent.mkdir(parents=True, exist_ok=True)
                target.write_text(output + ("\n" if args.command == "json" else ""), encoding="utf-8")
                continue
            if as_array:
                stream.write(("\n" if first else ",\n") + output)
            else:
                stream.write(output + ("\n" if args.command == "json" and not args.jsonl else ""))
            first = False
        if as_array:
            stream.write("\n]\n")
        stream.flush()
    except BrokenPipeError:
        # The reader went away (`vellix text a.pdf | head`): stop quietly, as cat does.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    finally:
        if stream is not sys.stdout:
            stream.close()
    return 1 if failed else 0
