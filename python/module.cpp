// The extension module vellix: initialisation, the three functions and the mapping of core
// errors to Python exceptions. The argument binding lives in args.cpp, the result rendering in
// render.cpp.
//
// The calling thread keeps the interpreter lock for the whole call, the core's work included:
// the core's worker threads never touch a Python object, and every Python object is made on
// this thread after the core has returned.
#include <algorithm>
#include <exception>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "args.h"
#include "document.h"
#include "extract.h"
#include "links.h"
#include "py.h"
#include "render.h"

namespace {

using vellix::py::ArgValue;
using vellix::py::kMaxParams;
using vellix::py::ParamKind;
using vellix::py::ParamSpec;
using vellix::py::PyRef;
using vellix::py::Signature;

constexpr ParamSpec kExtractParams[] = {
    {"path", ParamKind::Text},
    {"page_parallel", ParamKind::Flag, /*default_flag=*/true},
    {"include_images", ParamKind::Flag, /*default_flag=*/true},
    {"gpu", ParamKind::Flag, /*default_flag=*/false},
    {"batch_size", ParamKind::Count, false, /*default_count=*/50},
};
enum ExtractArg { kPath, kPageParallel, kIncludeImages, kGpu, kBatchSize };

constexpr ParamSpec kExtractManyParams[] = {
    {"paths", ParamKind::TextList},
    {"file_parallel", ParamKind::Flag, /*default_flag=*/true},
    {"page_parallel", ParamKind::Flag, /*default_flag=*/false},
    {"include_images", ParamKind::Flag, /*default_flag=*/false},
    {"gpu", ParamKind::Flag, /*default_flag=*/false},
    {"batch_size", ParamKind::Count, false, /*default_count=*/50},
};
enum ExtractManyArg {
    kManyPaths, kManyFileParallel, kManyPageParallel, kManyIncludeImages, kManyGpu,
    kManyBatchSize,
};

constexpr ParamSpec kExtractLinksParams[] = {
    {"path", ParamKind::Text},
};

constexpr Signature kExtractSignature{"extract", kExtractParams};
constexpr Signature kExtractManySignature{"extract_many", kExtractManyParams};
constexpr Signature kExtractLinksSignature{"extract_links", kExtractLinksParams};

// A C++ exception escaping into the interpreter would end the process in std::terminate.
// Allocation can throw anywhere in the core, so each entry runs its body through this.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyRef message = vellix::py::make_text(std::string("internal error: ") + e.what());
        if (message) PyErr_SetObject(PyExc_RuntimeError, message.get());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "internal error");
    }
    return nullptr;
}

// ValueError carrying the error's display text. The text can hold any byte (an unexpected
// byte is shown as itself), so it is made from its full length, not as a C string.
PyObject* raise_parse_error(const vellix::ParseError& error) {
    PyRef message = vellix::py::make_text(error.display());
    if (message) PyErr_SetObject(PyExc_ValueError, message.get());
    return nullptr;
}

// Pauses the cyclic garbage collector for its lifetime, if it was running.
class GcPause {
public:
    GcPause() : was_enabled_(PyGC_Disable() == 1) {}
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

private:
    bool was_enabled_;
};

size_t to_batch_size(std::uint64_t count) {
    return static_cast<size_t>(std::min<std::uint64_t>(count, std::numeric_limits<size_t>::max()));
}

PyObject* py_extract(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        ArgValue values[kMaxParams];
        if (!vellix::py::bind_arguments(kExtractSignature, args, kwargs, values)) return nullptr;
        const std::string& path = values[kPath].text;
        vellix::ExtractOptions opts;
        opts.batch_size = to_batch_size(values[kBatchSize].count);
        opts.page_parallel = values[kPageParallel].flag;
        opts.file_parallel = false;
        opts.include_images = values[kIncludeImages].flag;
        opts.gpu = values[kGpu].flag;
        vellix::Result<vellix::ExtractResult> result = vellix::extract(path, opts);
        if (!result) return raise_parse_error(result.error());
        return vellix::py::render_extract_result(result->pages).release();
    });
}

PyObject* py_extract_many(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        ArgValue values[kMaxParams];
        if (!vellix::py::bind_arguments(kExtractManySignature, args, kwargs, values)) {
            return nullptr;
        }
        std::vector<std::string>& paths = values[kManyPaths].texts;
        vellix::ExtractOptions opts;
        opts.batch_size = to_batch_size(values[kManyBatchSize].count);
        opts.page_parallel = values[kManyPageParallel].flag;
        opts.file_parallel = values[kManyFileParallel].flag;
        opts.include_images = values[kManyIncludeImages].flag;
        opts.gpu = values[kManyGpu].flag;

        // Each file is rendered as soon as the core hands it over (on this thread, which holds
        // the interpreter lock), so rendering overlaps the extraction of the files still
        // running. The garbage collector is paused meanwhile: the result holds only lists,
        // dicts, strings and numbers, which form no cycles, and rescanning the growing result
        // at every collection would cost as much as building it.
        PyRef outer = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(paths.size())));
        if (!outer) return nullptr;
        GcPause pause;
        bool failed = false;
        vellix::extract_many_each(paths, opts, [&](size_t i, vellix::FileOutcome&& outcome) {
            if (failed) return;  // an exception is set; the remaining files are only released
            PyRef entry = vellix::py::render_file_outcome(outcome);
            if (!entry) {
                failed = true;
                return;
            }
            // Steals the entry; the slot was empty.
            PyList_SetItem(outer.get(), static_cast<Py_ssize_t>(i), entry.release());
        });
        if (failed) return nullptr;
        return outer.release();
    });
}

PyObject* py_extract_links(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        ArgValue values[kMaxParams];
        if (!vellix::py::bind_arguments(kExtractLinksSignature, args, kwargs, values)) {
            return nullptr;
        }
        const std::string& path = values[0].text;
        vellix::Result<vellix::DocPtr> doc = vellix::Document::open(path);
        if (!doc) return raise_parse_error(doc.error());
        vellix::Result<std::vector<vellix::PageLink>> links = vellix::extract_links(**doc);
        if (!links) return raise_parse_error(links.error());
        doc->reset();  // the document is not needed for rendering; unmap the file now
        return vellix::py::render_links(*links).release();
    });
}

// METH_VARARGS | METH_KEYWORDS functions take a third argument, so the method table stores
// them through the generic function pointer type.
template <PyObject* (*F)(PyObject*, PyObject*, PyObject*)>
PyCFunction as_method() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

PyMethodDef kMethods[] = {
    {"extract", as_method<py_extract>(), METH_VARARGS | METH_KEYWORDS,
     "extract(path, page_parallel=True, include_images=True, gpu=False, batch_size=50)\n--\n\n"
     "Extract text blocks and images from a single PDF file."},
    {"extract_many", as_method<py_extract_many>(), METH_VARARGS | METH_KEYWORDS,
     "extract_many(paths, file_parallel=True, page_parallel=False, include_images=False, "
     "gpu=False, batch_size=50)\n--\n\n"
     "Batch extract from multiple PDF files with file-level parallelism."},
    {"extract_links", as_method<py_extract_links>(), METH_VARARGS | METH_KEYWORDS,
     "extract_links(path)\n--\n\nExtract hyperlinks from a PDF file."},
    {nullptr, nullptr, 0, nullptr},
};

// The functions of kMethods are added before this runs, so the attributes come in the order
// extract, extract_many, extract_links, __version__.
int vellix_exec(PyObject* module) {
    return PyModule_AddStringConstant(module, "__version__", "0.1.0");
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(vellix_exec)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "vellix",
    "Vellix \xE2\x80\x94 high-performance PDF text and image extraction.",
    0,
    kMethods,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_vellix(void) { return PyModuleDef_Init(&kModule); }
