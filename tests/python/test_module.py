"""The package: attributes, signatures, help texts and type information."""
import inspect
import subprocess
import sys

import vellix
from shapes import REPO

EXAMPLES = REPO / "examples"
SIGNATURES = {
    "extract": ("(path, page_parallel=True, include_images=True, gpu=False, batch_size=50)",
                "Extract text blocks and images from a single PDF file."),
    "extract_many": ("(paths, file_parallel=True, page_parallel=False, include_images=False, "
                     "gpu=False, batch_size=50)",
                     "Batch extract from multiple PDF files with file-level parallelism."),
    "extract_links": ("(path)", "Extract hyperlinks from a PDF file."),
    "extract_pages": ("(path, page_parallel=True, include_images=True)", "Extract the text blocks, images and links of a PDF file, page by page."),
}


def test_attributes_signatures_and_help():
    assert vellix.__version__ == "0.1.0"
    assert vellix.__doc__ == "Vellix \u2014 high-performance PDF text and image extraction."
    assert vellix.__name__ == "vellix" and vellix._vellix.__doc__ == vellix.__doc__
    names = [n for n in vars(vellix._vellix) if not (n.startswith("__") and n != "__version__")]
    assert names[-5:] == ["extract", "extract_many", "extract_links", "extract_pages", "__version__"]
    assert all(hasattr(vellix, name) for name in vellix.__all__)
    for name, (signature, doc) in SIGNATURES.items():
        function = getattr(vellix, name)
        assert function.__text_signature__ == signature and function.__name__ == name
        assert str(inspect.signature(function)) == signature
        # The summary line, then what the result holds.
        assert function.__doc__.splitlines()[0] == doc and len(function.__doc__.splitlines()) > 5
    assert "y growing upwards" in vellix.extract.__doc__
    assert '"rotation"' in vellix.extract_pages.__doc__ and "counts from 0" in vellix.extract_pages.__doc__


def mypy(*args):
    from mypy import api
    out, err, status = api.run(["--strict", "--no-incremental", *args])  # no cache files left behind
    return status, out + err


def test_typed_example_passes_mypy_strict_and_runs():
    example = str(EXAMPLES / "typed_example.py")
    status, report = mypy(example)
    assert status == 0, report
    # It uses every key, so running it checks that the types name the keys the results have.
    run = subprocess.run([sys.executable, example], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0 and "link on page 0" in run.stdout, run.stderr
    # The types are the package's own, not Any: a wrong key is an error.
    status, report = mypy("-c", "import vellix\nvellix.extract_pages('a.pdf')[0]['size']")
    assert status == 1 and '"Page" has no key "size"' in report
