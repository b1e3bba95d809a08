// The extension module vellix._vellix (re-exported by the package vellix): initialisation,
// the four functions and the mapping of core errors to Python exceptions. The argument binding
// lives in args.cpp, the result rendering in render.cpp.
//
// The calling thread lets go of the interpreter lock while the core works (opening,
// interpretation, layout, images), so other Python threads run meanwhile and two threads
// extracting two files run in parallel; it takes the lock back only to build Python objects.
// The core's threads never touch a Python object.
#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <limits>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "args.h"
#include "document.h"
#include "extract.h"
#include "links.h"
#include "py.h"
#include "render.h"

namespace {

using vellix::py::ArgValue;
using vellix::py::Keys;
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

constexpr ParamSpec kExtractPagesParams[] = {
    {"path", ParamKind::Text},
    {"page_parallel", ParamKind::Flag, /*default_flag=*/true},
    {"include_images", ParamKind::Flag, /*default_flag=*/true},
};

constexpr Signature kExtractSignature{"extract", kExtractParams};
constexpr Signature kExtractManySignature{"extract_many", kExtractManyParams};
constexpr Signature kExtractLinksSignature{"extract_links", kExtractLinksParams};
constexpr Signature kExtractPagesSignature{"extract_pages", kExtractPagesParams};

// The module's state: the result keys (see Keys).
Keys& module_keys(PyObject* module) { return *static_cast<Keys*>(PyModule_GetState(module)); }

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

// Lets go of the interpreter lock for its lifetime and takes it back on every way out, an
// exception from the core included. Nothing inside may touch a Python object.
class GilRelease {
public:
    GilRelease() : state_(PyEval_SaveThread()) {}
    ~GilRelease() { PyEval_RestoreThread(state_); }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* state_;
};

// Pauses the cyclic garbage collector for its lifetime, if it was running. A result holds only
// lists, dicts, strings and numbers, which form no cycles, and rescanning the growing result at
// every collection would cost as much as building it. Used only while the lock is held, so no
// other thread sees the collector paused.
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

// The result of `render`, made with the garbage collector paused.
template <class Render>
PyRef render_paused(Render&& render) {
    GcPause pause;
    return render();
}

// Frees the core's result, which can take a while for a large file, without holding up the
// other Python threads.
template <class T>
void release_without_gil(std::optional<T>& result) {
    GilRelease release;
    result.reset();
}

size_t to_batch_size(std::uint64_t count) {
    return static_cast<size_t>(std::min<std::uint64_t>(count, std::numeric_limits<size_t>::max()));
}

PyObject* py_extract(PyObject* module, PyObject* args, PyObject* kwargs) {
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
        std::optional<vellix::Result<vellix::ExtractResult>> result;
        {
            GilRelease release;
            result = vellix::extract(path, opts);
        }
        if (!*result) return raise_parse_error(result->error());
        PyRef rendered = render_paused([&] {
            return vellix::py::render_extract_result(module_keys(module), (*result)->pages);
        });
        release_without_gil(result);
        return rendered.release();
    });
}

PyObject* py_extract_pages(PyObject* module, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        ArgValue values[kMaxParams];
        if (!vellix::py::bind_arguments(kExtractPagesSignature, args, kwargs, values)) {
            return nullptr;
        }
        vellix::ExtractOptions opts;
        opts.page_parallel = values[1].flag;
        opts.include_images = values[2].flag;
        std::optional<vellix::Result<std::vector<vellix::PageExtract>>> pages;
        {
            GilRelease release;
            pages = vellix::extract_pages(values[0].text, opts);
        }
        if (!*pages) return raise_parse_error(pages->error());
        PyRef rendered =
            render_paused([&] { return vellix::py::render_pages(module_keys(module), **pages); });
        release_without_gil(pages);
        return rendered.release();
    });
}

// Hands the files of extract_many from the thread that runs the core to the thread that
// renders them. At most kMaxPendingFiles wait at a time, so the core runs no further ahead of
// the rendering than that, and the results waiting stay few.
class OutcomeQueue {
public:
    static constexpr size_t kMaxPendingFiles = 2;

    // Waits for room, then queues the file; dropped when the queue was cancelled.
    void put(size_t index, vellix::FileOutcome&& outcome) {
        std::unique_lock lock(mutex_);
        room_.wait(lock, [&] { return items_.size() < kMaxPendingFiles || cancelled_; });
        if (cancelled_) return;
        items_.emplace_back(index, std::move(outcome));
        ready_.notify_one();
    }
    // No file comes any more; `error` is what ended the core's work early, if anything.
    void finish(std::exception_ptr error) {
        std::lock_guard lock(mutex_);
        done_ = true;
        error_ = std::move(error);
        ready_.notify_one();
    }
    // The next file, or nullopt once finish was called and every file was taken.
    std::optional<std::pair<size_t, vellix::FileOutcome>> take() {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [&] { return !items_.empty() || done_; });
        if (items_.empty()) return std::nullopt;
        std::optional<std::pair<size_t, vellix::FileOutcome>> item(std::move(items_.front()));
        items_.pop_front();
        room_.notify_one();
        return item;
    }
    // Drops the files waiting and every file put from now on.
    void cancel() {
        std::lock_guard lock(mutex_);
        cancelled_ = true;
        items_.clear();
        room_.notify_all();
    }
    std::exception_ptr error() {
        std::lock_guard lock(mutex_);
        return error_;
    }

private:
    std::mutex mutex_;  // guards every member below
    std::condition_variable room_;
    std::condition_variable ready_;
    std::deque<std::pair<size_t, vellix::FileOutcome>> items_;
    bool done_ = false;
    bool cancelled_ = false;
    std::exception_ptr error_;
};

// Cancels the queue and joins the core's thread on every way out, so the thread never
// outlives the paths and options it reads. The core still extracts the files it has not
// handed over (dropping them), so the wait lets other Python threads run.
struct StopProducer {
    OutcomeQueue& queue;
    std::thread& thread;
    ~StopProducer() {
        if (!thread.joinable()) return;
        queue.cancel();
        GilRelease release;
        thread.join();
    }
};

PyObject* py_extract_many(PyObject* module, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        ArgValue values[kMaxParams];
        if (!vellix::py::bind_arguments(kExtractManySignature, args, kwargs, values)) {
            return nullptr;
        }
        const std::vector<std::string>& paths = values[kManyPaths].texts;
        vellix::ExtractOptions opts;
        opts.batch_size = to_batch_size(values[kManyBatchSize].count);
        opts.page_parallel = values[kManyPageParallel].flag;
        opts.file_parallel = values[kManyFileParallel].flag;
        opts.include_images = values[kManyIncludeImages].flag;
        opts.gpu = values[kManyGpu].flag;
        const Keys& keys = module_keys(module);

        PyRef outer = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(paths.size())));
        if (!outer) return nullptr;
        // Steals the entry; the slot was empty.
        auto render_into = [&](size_t i, vellix::FileOutcome& outcome) {
            GcPause pause;
            PyRef entry = vellix::py::render_file_outcome(keys, outcome);
            return entry && PyList_SetItem(outer.get(), static_cast<Py_ssize_t>(i),
                                           entry.release()) == 0;
        };

        // The core runs on a thread of its own, without the interpreter lock, while this
        // thread renders each file it hands over: rendering one file overlaps the extraction
        // of the next, on the sequential path as on the pool.
        OutcomeQueue queue;
        std::thread producer;
        try {
            producer = std::thread([&]() noexcept {
                try {
                    vellix::extract_many_each(paths, opts, [&](size_t i, vellix::FileOutcome&& o) {
                        queue.put(i, std::move(o));
                    });
                    queue.finish(nullptr);
                } catch (...) {
                    queue.finish(std::current_exception());
                }
            });
        } catch (const std::system_error&) {
            // No thread to be had: the core runs here, and each file is rendered when it comes.
            bool failed = false;
            vellix::extract_many_each(paths, opts, [&](size_t i, vellix::FileOutcome&& outcome) {
                if (!failed && !render_into(i, outcome)) failed = true;
            });
            return failed ? nullptr : outer.release();
        }
        StopProducer stop{queue, producer};
        for (;;) {
            std::optional<std::pair<size_t, vellix::FileOutcome>> item;
            {
                GilRelease release;
                item = queue.take();
            }
            if (!item) break;
            if (!render_into(item->first, item->second)) return nullptr;  // `stop` cancels
        }
        {
            GilRelease release;
            producer.join();
        }
        if (std::exception_ptr error = queue.error()) std::rethrow_exception(error);
        return outer.release();
    });
}

PyObject* py_extract_links(PyObject* module, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        ArgValue values[kMaxParams];
        if (!vellix::py::bind_arguments(kExtractLinksSignature, args, kwargs, values)) {
            return nullptr;
        }
        std::optional<vellix::Result<std::vector<vellix::PageLink>>> links;
        {
            GilRelease release;
            vellix::Result<vellix::DocPtr> doc = vellix::Document::open(values[0].text);
            if (!doc) {
                links.emplace(std::unexpected(doc.error()));
            } else {
                links.emplace(vellix::extract_links(**doc));
            }
            // The document is released here: rendering does not need the file.
        }
        if (!*links) return raise_parse_error(links->error());
        GcPause pause;
        return vellix::py::render_links(module_keys(module), **links).release();
    });
}

// METH_VARARGS | METH_KEYWORDS functions take a third argument, so the method table stores
// them through the generic function pointer type.
template <PyObject* (*F)(PyObject*, PyObject*, PyObject*)>
PyCFunction as_method() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

// The docstrings: the text signature, the one-line summary, then what help() shows of the
// arguments and the result.
PyMethodDef kMethods[] = {
    {"extract", as_method<py_extract>(), METH_VARARGS | METH_KEYWORDS,
     "extract(path, page_parallel=True, include_images=True, gpu=False, batch_size=50)\n--\n\n"
     "Extract text blocks and images from a single PDF file.\n\n"
     "Returns [blocks, images]: the blocks of every page, then the images of every page,\n"
     "each list in page order (extract_pages tells which page an item is on).\n"
     "  block: {\"type\": 0, \"bbox\", \"lines\": [line, ...]}\n"
     "  line:  {\"bbox\", \"spans\": [span, ...]}\n"
     "  span:  {\"bbox\", \"text\": str, \"font\": str, \"size\": float, \"color\": int}\n"
     "  image: {\"bbox\", \"width\": int, \"height\": int, \"bpc\": int, \"colorspace\": str,\n"
     "          \"xref\": int, \"ext\": str (\"jpeg\", \"png\", ...), \"image\": bytes}\n"
     "Boxes are [x0, y0, x1, y1], four floats in PDF user space: points, origin at the lower\n"
     "left of the page, y growing upwards, not flipped against the page height.\n"
     "path is a str or an os.PathLike. page_parallel runs the pages on the worker pool,\n"
     "batch_size pages at a time (0: all at once); include_images=False leaves images out;\n"
     "gpu has no effect. Raises ValueError with the reason when the file cannot be opened\n"
     "or read as a PDF; a damaged page only comes back empty."},
    {"extract_many", as_method<py_extract_many>(), METH_VARARGS | METH_KEYWORDS,
     "extract_many(paths, file_parallel=True, page_parallel=False, include_images=False, "
     "gpu=False, batch_size=50)\n--\n\n"
     "Batch extract from multiple PDF files with file-level parallelism.\n\n"
     "Returns one [path, result] entry per path, in input order: result is what extract\n"
     "returns for that file, or [] when the file failed (nothing is raised for a file).\n"
     "paths is a sequence of str or os.PathLike; each path comes back as a str.\n"
     "file_parallel runs files on the worker pool (from eight files on); images are left\n"
     "out unless include_images=True."},
    {"extract_links", as_method<py_extract_links>(), METH_VARARGS | METH_KEYWORDS,
     "extract_links(path)\n--\n\nExtract hyperlinks from a PDF file.\n\n"
     "Returns one {\"uri\": str, \"bbox\": [x0, y0, x1, y1], \"page\": int} per web link (a\n"
     "URI action, or a Dest string starting with http:// or https://), in page order and\n"
     "within a page in annotation order. Pages count from 0. The box is the annotation's\n"
     "Rect as stored, in PDF user space (y upwards). Raises ValueError when the file or an\n"
     "annotation cannot be read."},
    {"extract_pages", as_method<py_extract_pages>(), METH_VARARGS | METH_KEYWORDS,
     "extract_pages(path, page_parallel=True, include_images=True)\n--\n\n"
     "Extract the text blocks, images and links of a PDF file, page by page.\n\n"
     "Returns one dictionary per page, in page order:\n"
     "  {\"number\": int, \"width\": float, \"height\": float, \"rotation\": int,\n"
     "   \"blocks\": [block, ...], \"images\": [image, ...], \"links\": [link, ...]}\n"
     "number counts from 0, as link pages do. width and height are the page's crop box\n"
     "(else its media box), inherited through the page tree, before rotation; rotation is\n"
     "0, 90, 180 or 270 (clockwise, from the inherited Rotate). blocks and images are those\n"
     "extract gives for this page, links those extract_links gives for it (none when an\n"
     "annotation of the page cannot be read). A damaged page is present with empty lists.\n"
     "  block: {\"type\": 0, \"bbox\", \"lines\": [line, ...]}\n"
     "  line:  {\"bbox\", \"spans\": [span, ...]}\n"
     "  span:  {\"bbox\", \"text\": str, \"font\": str, \"size\": float, \"color\": int}\n"
     "  image: {\"bbox\", \"width\": int, \"height\": int, \"bpc\": int, \"colorspace\": str,\n"
     "          \"xref\": int, \"ext\": str (\"jpeg\", \"png\", ...), \"image\": bytes}\n"
     "  link:  {\"uri\": str, \"bbox\", \"page\": int}\n"
     "Boxes are [x0, y0, x1, y1], four floats in PDF user space: points, origin at the lower\n"
     "left of the page, y growing upwards, not flipped against the page height.\n"
     "Raises ValueError as extract does."},
    {nullptr, nullptr, 0, nullptr},
};

int vellix_exec(PyObject* module) {
    if (!vellix::py::init_keys(module_keys(module))) return -1;
    return PyModule_AddStringConstant(module, "__version__", "0.1.0");
}

int vellix_traverse(PyObject*, visitproc, void*) { return 0; }  // the keys are strings only

int vellix_clear(PyObject* module) {
    vellix::py::clear_keys(module_keys(module));
    return 0;
}

void vellix_free(void* module) { vellix_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(vellix_exec)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "vellix._vellix",
    "Vellix \xE2\x80\x94 high-performance PDF text and image extraction.",
    sizeof(Keys),
    kMethods,
    kSlots,
    vellix_traverse,
    vellix_clear,
    vellix_free,
};

}  // namespace

PyMODINIT_FUNC PyInit__vellix(void) { return PyModuleDef_Init(&kModule); }
