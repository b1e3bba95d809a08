"""Argument binding and conversion of the four functions."""
import pathlib
import sys

import pytest

import vellix

MISSING = "/nonexistent/vellix-test/missing.pdf"


# (function name, args, kwargs, expected message): the interpreter's own wording for functions
# of these signatures.
BINDING_ERRORS = [
    ("extract", (), {}, "extract() missing 1 required positional argument: 'path'"),
    ("extract", (MISSING, True, True, False, 50, 1), {},
     "extract() takes from 1 to 5 positional arguments but 6 were given"),
    ("extract", (MISSING,), {"x": 1}, "extract() got an unexpected keyword argument 'x'"),
    ("extract", (MISSING,), {"path": MISSING}, "extract() got multiple values for argument 'path'"),
    ("extract_pages", (MISSING, True), {"page_parallel": True},
     "extract_pages() got multiple values for argument 'page_parallel'"),
    ("extract_pages", (MISSING, True, True, False), {},
     "extract_pages() takes from 1 to 3 positional arguments but 4 were given"),
    # Keywords are checked before the count of positional arguments.
    ("extract", (MISSING, True, True, False, 50, 1), {"x": 1},
     "extract() got an unexpected keyword argument 'x'"),
    ("extract", (MISSING, True, True, False, 50, 1), {"batch_size": 1},
     "extract() got multiple values for argument 'batch_size'"),
    ("extract_many", (), {}, "extract_many() missing 1 required positional argument: 'paths'"),
    ("extract_many", ([], True, False, False, False, 50, 1), {},
     "extract_many() takes from 1 to 6 positional arguments but 7 were given"),
    ("extract_many", ([],), {"path": []},
     "extract_many() got an unexpected keyword argument 'path'"),
    ("extract_links", (), {}, "extract_links() missing 1 required positional argument: 'path'"),
    ("extract_links", (MISSING, MISSING), {},
     "extract_links() takes 1 positional argument but 2 were given"),
    ("extract_links", (MISSING,), {"page_parallel": True},
     "extract_links() got an unexpected keyword argument 'page_parallel'"),
    ("extract_links", (MISSING, MISSING), {"path": MISSING},
     "extract_links() got multiple values for argument 'path'"),
    ("extract_links", (), {"\udcff": 1},
     "extract_links() got an unexpected keyword argument '\udcff'"),
]


class FsPath:
    """A path object whose __fspath__ returns (or raises) the given value."""

    def __init__(self, value):
        self.value = value

    def __fspath__(self):
        if isinstance(self.value, Exception):
            raise self.value
        return self.value


class Index:
    """An object whose __index__ raises the given exception."""

    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


class TypeErrorSubclass(TypeError):
    pass


def cause_chain_error():
    try:
        raise KeyError("inner")
    except KeyError as inner:
        try:
            raise TypeError("outer") from inner
        except TypeError as outer:
            return outer


CONVERSION_ERRORS = [
    # (function name, args, kwargs, exception type, expected message)
    ("extract", (1,), {}, TypeError,
     "argument 'path': 'int' object cannot be converted to 'PyString'"),
    ("extract", (b"x.pdf",), {}, TypeError,
     "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
    ("extract_pages", (FsPath(7),), {}, TypeError,
     "argument 'path': expected FsPath.__fspath__() to return str or bytes, not int"),
    ("extract_links", (FsPath(ValueError("no path")),), {}, ValueError, "no path"),
    ("extract", (MISSING, 1), {}, TypeError,
     "argument 'page_parallel': 'int' object cannot be converted to 'PyBool'"),
    ("extract", (MISSING,), {"batch_size": 1.5}, TypeError,
     "argument 'batch_size': 'float' object cannot be interpreted as an integer"),
    # OverflowError is not a TypeError: it keeps its own text, without the argument prefix.
    ("extract", (MISSING,), {"batch_size": -1}, OverflowError,
     "can't convert negative int to unsigned"),
    ("extract", (MISSING,), {"batch_size": 2**64}, OverflowError, None),
    ("extract", (MISSING,), {"batch_size": Index(ValueError("no index"))}, ValueError,
     "no index"),
    ("extract", (MISSING,), {"batch_size": Index(TypeErrorSubclass("sub"))}, TypeErrorSubclass,
     "sub"),
    # The first failing parameter in parameter order wins, whatever the keyword order.
    ("extract", (), {"gpu": 1, "path": 2}, TypeError,
     "argument 'path': 'int' object cannot be converted to 'PyString'"),
    ("extract", (MISSING,), {"batch_size": -1, "page_parallel": 1}, TypeError,
     "argument 'page_parallel': 'int' object cannot be converted to 'PyBool'"),
    ("extract_many", ("a.pdf",), {}, TypeError,
     "argument 'paths': Can't extract `str` to `Vec`"),
    ("extract_many", (5,), {}, TypeError,
     "argument 'paths': 'int' object cannot be converted to 'Sequence'"),
    ("extract_many", ([MISSING, 7],), {}, TypeError,
     "argument 'paths': 'int' object cannot be converted to 'PyString'"),
    ("extract_many", (b"ab",), {}, TypeError,
     "argument 'paths': 'int' object cannot be converted to 'PyString'"),
    ("extract_links", (None,), {}, TypeError,
     "argument 'path': 'NoneType' object cannot be converted to 'PyString'"),
    # A lone surrogate cannot be encoded: the interpreter's UnicodeEncodeError, unchanged.
    ("extract", ("bad\udc80.pdf",), {}, UnicodeEncodeError, None),
    ("extract_many", (["ok.pdf", "bad\ud800.pdf"],), {}, UnicodeEncodeError, None),
]


@pytest.mark.parametrize("name,args,kwargs,exc_type,message",
                         [(n, a, k, TypeError, m) for n, a, k, m in BINDING_ERRORS] + CONVERSION_ERRORS)
def test_argument_errors(name, args, kwargs, exc_type, message):
    with pytest.raises(exc_type) as got:
        getattr(vellix, name)(*args, **kwargs)
    assert type(got.value) is exc_type
    if message is not None:
        assert str(got.value) == message


def test_wrapped_type_error_keeps_cause():
    original = cause_chain_error()
    with pytest.raises(TypeError) as got:
        vellix.extract(MISSING, batch_size=Index(original))
    assert str(got.value) == "argument 'batch_size': outer"
    assert got.value is not original
    assert isinstance(got.value.__cause__, KeyError)
    assert got.value.__cause__ is original.__cause__


class Paths:
    """A sequence that claims `length` items, yields two paths and then raises `end`."""

    def __init__(self, length, end):
        self.length, self.end = length, end

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        if i < 2:
            return MISSING
        raise self.end


def test_sequences_of_paths():
    assert vellix.extract_many((MISSING, MISSING + "2")) == [[MISSING, []], [MISSING + "2", []]]
    assert vellix.extract_many([MISSING, MISSING + "2"]) == [[MISSING, []], [MISSING + "2", []]]
    # A sequence whose length lies yields its items; an error while reading passes unchanged.
    assert vellix.extract_many(Paths(2**62, IndexError())) == [[MISSING, []], [MISSING, []]]
    with pytest.raises(RuntimeError, match="^broken sequence$"):
        vellix.extract_many(Paths(3, RuntimeError("broken sequence")))


@pytest.mark.parametrize("path", [type("Text", (str,), {})(MISSING), pathlib.Path(MISSING),
                                  FsPath(MISSING), FsPath(MISSING.encode())])
def test_str_subclasses_and_path_objects_are_paths(path):
    for function in (vellix.extract, vellix.extract_links, vellix.extract_pages):
        with pytest.raises(ValueError, match="^cannot open file$"):
            function(path)
    result = vellix.extract_many([path])
    assert result == [[MISSING, []]] and type(result[0][0]) is str


def test_numpy_bool_is_a_flag():
    np = pytest.importorskip("numpy")
    for value in (np.True_, np.False_):
        with pytest.raises(ValueError, match="^cannot open file$"):
            vellix.extract(MISSING, page_parallel=value, include_images=value, gpu=value)
    assert vellix.extract_many([MISSING], file_parallel=np.bool_(True)) == [[MISSING, []]]
    with pytest.raises(TypeError) as got:
        vellix.extract(MISSING, gpu=np.int64(1))
    assert str(got.value) == "argument 'gpu': 'int64' object cannot be converted to 'PyBool'"


def test_batch_size_accepts_index_objects():
    for size in (0, 1, 2**64 - 1, type("Fifty", (), {"__index__": lambda self: 50})(), True):
        with pytest.raises(ValueError, match="^cannot open file$"):
            vellix.extract(MISSING, batch_size=size)


def test_reference_counts_unchanged():
    path = "".join(["/nonexistent/", "refcount.pdf"])  # a fresh, uninterned object
    paths = [path, path]
    size = 10**30 // 10**27  # an int outside the small-int cache
    before = (sys.getrefcount(path), sys.getrefcount(paths), sys.getrefcount(size))
    for _ in range(3):
        with pytest.raises(ValueError):
            vellix.extract_links(path)
        with pytest.raises(ValueError):
            vellix.extract(path, batch_size=size)
        vellix.extract_many(paths, batch_size=size)
        with pytest.raises(TypeError):
            vellix.extract(path, page_parallel=size)
        with pytest.raises(TypeError):
            vellix.extract_many(paths, x=size)
    assert (sys.getrefcount(path), sys.getrefcount(paths), sys.getrefcount(size)) == before
