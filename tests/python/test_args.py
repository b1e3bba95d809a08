"""Argument binding and conversion of the four functions."""
import pathlib
import sys

import pytest

import vellix

M = "/nonexistent/vellix-test/missing.pdf"
try:  # numpy's booleans are flags
    import numpy
    NUMPY_BOOLS = [numpy.True_, numpy.False_]
except ImportError:
    numpy, NUMPY_BOOLS = None, []


class Returns:
    """An object whose __index__ and __fspath__ give the value, or raise it if an exception."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value

    __fspath__ = __index__


TypeErrorSubclass = type("TypeErrorSubclass", (TypeError,), {})


def conversion(param, type_name, target):
    return "argument '%s': '%s' object cannot be converted to '%s'" % (param, type_name, target)


ERRORS = [
    # (function, args, kwargs, exception type, message or None). Binding: the interpreter's own
    # wording for functions of these signatures; keywords are checked before the count of
    # positional arguments.
    ("extract", (), {}, TypeError, "extract() missing 1 required positional argument: 'path'"),
    ("extract", (M, True, True, False, 50, 1), {}, TypeError,
     "extract() takes from 1 to 5 positional arguments but 6 were given"),
    ("extract", (M, True, True, False, 50, 1), {"batch_size": 1}, TypeError,
     "extract() got multiple values for argument 'batch_size'"),
    ("extract_pages", (M, True), {"page_parallel": True}, TypeError,
     "extract_pages() got multiple values for argument 'page_parallel'"),
    ("extract_pages", (M, True, True, False), {}, TypeError,
     "extract_pages() takes from 1 to 3 positional arguments but 4 were given"),
    ("extract_many", ([], True, False, False, False, 50, 1), {}, TypeError,
     "extract_many() takes from 1 to 6 positional arguments but 7 were given"),
    ("extract_links", (M, M), {}, TypeError, "extract_links() takes 1 positional argument but 2 were given"),
    ("extract_links", (), {"\udcff": 1}, TypeError, "extract_links() got an unexpected keyword argument '\udcff'"),
    # Conversion: a TypeError gets the argument's name in front, other exceptions pass as they are.
    ("extract", (1,), {}, TypeError, conversion("path", "int", "PyString")),
    ("extract", (b"x.pdf",), {}, TypeError, conversion("path", "bytes", "PyString")),
    ("extract_pages", (Returns(7),), {}, TypeError,
     "argument 'path': expected Returns.__fspath__() to return str or bytes, not int"),
    ("extract_links", (Returns(ValueError("no path")),), {}, ValueError, "no path"),
    ("extract", (M, 1), {}, TypeError, conversion("page_parallel", "int", "PyBool")),
    ("extract", (M,), {"batch_size": 1.5}, TypeError,
     "argument 'batch_size': 'float' object cannot be interpreted as an integer"),
    ("extract", (M,), {"batch_size": -1}, OverflowError, "can't convert negative int to unsigned"),
    ("extract", (M,), {"batch_size": 2**64}, OverflowError, None),
    ("extract", (M,), {"batch_size": Returns(ValueError("no index"))}, ValueError, "no index"),
    ("extract", (M,), {"batch_size": Returns(TypeErrorSubclass("sub"))}, TypeErrorSubclass, "sub"),
    # The first failing parameter in parameter order wins, whatever the keyword order.
    ("extract", (), {"gpu": 1, "path": 2}, TypeError, conversion("path", "int", "PyString")),
    ("extract", (M,), {"batch_size": -1, "page_parallel": 1}, TypeError, conversion("page_parallel", "int", "PyBool")),
    ("extract_many", ("a.pdf",), {}, TypeError, "argument 'paths': Can't extract `str` to `Vec`"),
    ("extract_many", (5,), {}, TypeError, conversion("paths", "int", "Sequence")),
    ("extract_many", ([M, 7],), {}, TypeError, conversion("paths", "int", "PyString")),
    ("extract_many", (b"ab",), {}, TypeError, conversion("paths", "int", "PyString")),
    *([("extract", (M,), {"gpu": numpy.int64(1)}, TypeError, conversion("gpu", "int64", "PyBool"))] if numpy else []),
    # A lone surrogate cannot be encoded: the interpreter's UnicodeEncodeError, unchanged.
    ("extract", ("bad\udc80.pdf",), {}, UnicodeEncodeError, None),
    ("extract_many", (["ok.pdf", "bad\ud800.pdf"],), {}, UnicodeEncodeError, None),
]


@pytest.mark.parametrize("name,args,kwargs,exc_type,message", ERRORS)
def test_argument_errors(name, args, kwargs, exc_type, message):
    with pytest.raises(exc_type) as got:
        getattr(vellix, name)(*args, **kwargs)
    assert type(got.value) is exc_type
    assert message is None or str(got.value) == message


def test_wrapped_type_error_keeps_cause():
    original = TypeError("outer")
    original.__cause__ = KeyError("inner")
    with pytest.raises(TypeError) as got:
        vellix.extract(M, batch_size=Returns(original))
    assert str(got.value) == "argument 'batch_size': outer" and got.value is not original
    assert isinstance(got.value.__cause__, KeyError) and got.value.__cause__ is original.__cause__


def paths(length, end):
    """A sequence that claims `length` items, yields two paths and then raises `end`."""
    def item(self, i):
        if i < 2:
            return M
        raise end
    return type("Paths", (), {"__len__": lambda self: length, "__getitem__": item})()


# str subclasses and path objects (os.PathLike, with a str or bytes path) are paths.
PATHS = [type("Text", (str,), {})(M), pathlib.Path(M), Returns(M), Returns(M.encode())]
ACCEPTED = [
    # (function, args, kwargs) that convert, so that the missing file then raises ValueError.
    *[(f, (p,), {}) for f in ("extract", "extract_links", "extract_pages") for p in PATHS],
    *[("extract", (M,), {"batch_size": size}) for size in (0, 1, 2**64 - 1, Returns(50), True)],
    *[("extract", (M,), {"page_parallel": v, "include_images": v, "gpu": v}) for v in NUMPY_BOOLS],
]


@pytest.mark.parametrize("name,args,kwargs", ACCEPTED)
def test_accepted_arguments(name, args, kwargs):
    with pytest.raises(ValueError, match="^cannot open file$"):
        getattr(vellix, name)(*args, **kwargs)


def test_sequences_of_paths():
    assert vellix.extract_many((M, M + "2")) == vellix.extract_many([M, M + "2"]) == [[M, []], [M + "2", []]]
    assert vellix.extract_many(PATHS, file_parallel=NUMPY_BOOLS[0] if NUMPY_BOOLS else True) == [[M, []]] * 4
    assert all(type(path) is str for path, _ in vellix.extract_many(PATHS))
    # A sequence whose length lies yields its items; an error while reading passes unchanged.
    assert vellix.extract_many(paths(2**62, IndexError())) == [[M, []], [M, []]]
    with pytest.raises(RuntimeError, match="^broken sequence$"):
        vellix.extract_many(paths(3, RuntimeError("broken sequence")))


def test_reference_counts_unchanged():
    path = "".join(["/nonexistent/", "refcount.pdf"])  # a fresh, uninterned object
    paths = [path, path]
    size = 10**30 // 10**27  # an int outside the small-int cache
    before = (sys.getrefcount(path), sys.getrefcount(paths), sys.getrefcount(size))
    for _ in range(3):
        for call in (lambda: vellix.extract_links(path), lambda: vellix.extract(path, batch_size=size),
                     lambda: vellix.extract_pages(pathlib.Path(path)), lambda: vellix.extract_many(paths, batch_size=size),
                     lambda: vellix.extract(path, page_parallel=size), lambda: vellix.extract_many(paths, x=size)):
            try:
                call()
            except (ValueError, TypeError):
                pass
    assert (sys.getrefcount(path), sys.getrefcount(paths), sys.getrefcount(size)) == before
