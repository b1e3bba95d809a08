import vellix


def test_module_attributes():
    assert vellix.__version__ == "0.1.0"
    assert vellix.__doc__ == "Vellix \u2014 high-performance PDF text and image extraction."
    assert vellix.__name__ == "vellix"


SIGNATURES = {
    "extract": ("(path, page_parallel=True, include_images=True, gpu=False, batch_size=50)",
                "Extract text blocks and images from a single PDF file."),
    "extract_many": ("(paths, file_parallel=True, page_parallel=False, include_images=False, "
                     "gpu=False, batch_size=50)",
                     "Batch extract from multiple PDF files with file-level parallelism."),
    "extract_links": ("(path)", "Extract hyperlinks from a PDF file."),
}


def test_functions_signatures_and_docs():
    import inspect

    for name, (signature, doc) in SIGNATURES.items():
        function = getattr(vellix, name)
        assert function.__text_signature__ == signature
        assert function.__doc__.splitlines()[0] == doc
        assert function.__name__ == name
        assert str(inspect.signature(function)) == signature


def test_attribute_order():
    names = [n for n in vars(vellix._vellix) if not (n.startswith("__") and n != "__version__")]
    assert names[-5:] == ["extract", "extract_many", "extract_links", "extract_pages", "__version__"]
