#include "args.h"

#include <cstring>
#include <limits>

namespace vellix::py {

namespace {

// The __name__ of the object's type. The limited API of 3.10 has no PyType_GetName.
PyRef type_name(PyObject* obj) {
    PyRef name = PyRef::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
    if (name && PyUnicode_Check(name.get())) return name;
    PyErr_Clear();
    return PyRef::steal(PyUnicode_FromString("<failed to extract type name>"));
}

// Sets TypeError "'<type>' object cannot be converted to '<target>'".
void set_conversion_error(PyObject* obj, const char* target) {
    PyRef name = type_name(obj);
    if (!name) return;
    PyRef message = PyRef::steal(PyUnicode_FromFormat("'%U' object cannot be converted to '%s'",
                                                      name.get(), target));
    if (message) PyErr_SetObject(PyExc_TypeError, message.get());
}

// True for an os.PathLike object: its type has __fspath__ (the test os.PathLike makes).
bool is_path_like(PyObject* obj) {
    return PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__fspath__") == 1;
}

bool convert_text(PyObject* obj, std::string& out) {
    if (!PyUnicode_Check(obj)) {
        // A str or bytes given directly keeps its own rule (bytes are refused); a path object
        // gives its file system path, as os.fspath does, and a bytes path is decoded as
        // os.fsdecode does.
        if (PyBytes_Check(obj) || !is_path_like(obj)) {
            set_conversion_error(obj, "PyString");
            return false;
        }
        PyRef path = PyRef::steal(PyOS_FSPath(obj));
        if (!path) return false;
        if (PyBytes_Check(path.get())) {
            char* bytes = nullptr;
            Py_ssize_t length = 0;
            if (PyBytes_AsStringAndSize(path.get(), &bytes, &length) != 0) return false;
            path = PyRef::steal(PyUnicode_DecodeFSDefaultAndSize(bytes, length));
            if (!path) return false;
        }
        return convert_text(path.get(), out);
    }
    Py_ssize_t size = 0;
    // Fails with the interpreter's UnicodeEncodeError for lone surrogates.
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (utf8 == nullptr) return false;
    out.assign(utf8, static_cast<size_t>(size));
    return true;
}

// True for numpy's boolean scalar type, named "bool_" before numpy 2 and "bool" since.
bool is_numpy_bool(PyObject* obj) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
    PyRef module = PyRef::steal(PyObject_GetAttrString(type, "__module__"));
    PyRef name = PyRef::steal(PyObject_GetAttrString(type, "__name__"));
    if (!module || !name || !PyUnicode_Check(module.get()) || !PyUnicode_Check(name.get())) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
           (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
            PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
}

bool convert_flag(PyObject* obj, bool& out) {
    if (PyBool_Check(obj)) {
        out = obj == Py_True;
        return true;
    }
    if (!is_numpy_bool(obj)) {
        set_conversion_error(obj, "PyBool");
        return false;
    }
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) return false;
    out = truth == 1;
    return true;
}

bool convert_count(PyObject* obj, std::uint64_t& out) {
    PyRef index = PyRef::steal(PyNumber_Index(obj));
    if (!index) return false;
    // Negative or too large: the interpreter's OverflowError.
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    static_assert(std::numeric_limits<unsigned long long>::max() >=
                  std::numeric_limits<std::uint64_t>::max());
    out = static_cast<std::uint64_t>(value);
    return true;
}

bool convert_text_list(PyObject* obj, std::vector<std::string>& out) {
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(obj)) {
        set_conversion_error(obj, "Sequence");
        return false;
    }
    // Items are read through iteration, so a sequence whose length lies still yields exactly
    // the items it produces; nothing is reserved from a length the object reports.
    PyRef iter = PyRef::steal(PyObject_GetIter(obj));
    if (!iter) return false;
    while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
        std::string text;
        if (!convert_text(item.get(), text)) return false;
        out.push_back(std::move(text));
    }
    return !PyErr_Occurred();
}

bool convert(const ParamSpec& spec, PyObject* obj, ArgValue& out) {
    switch (spec.kind) {
        case ParamKind::Text: return convert_text(obj, out.text);
        case ParamKind::Flag: return convert_flag(obj, out.flag);
        case ParamKind::Count: return convert_count(obj, out.count);
        case ParamKind::TextList: return convert_text_list(obj, out.texts);
    }
    return false;
}

// Replaces a pending exception that is exactly TypeError by a TypeError whose message names
// the parameter, keeping the original's cause. Any other pending exception stays as it is.
void prefix_type_error(const char* param) {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type != PyExc_TypeError) {
        PyErr_Restore(type, value, traceback);
        return;
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value == nullptr) {  // nothing to read a message from
        PyErr_Restore(type, value, traceback);
        return;
    }
    PyRef owned_type = PyRef::steal(type);
    PyRef owned_value = PyRef::steal(value);
    PyRef owned_traceback = PyRef::steal(traceback);
    PyRef text = PyRef::steal(PyObject_Str(owned_value.get()));
    if (!text) return;
    PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
    if (!message) return;
    PyRef replacement = PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (!replacement) return;
    // PyException_GetCause returns a new reference (or null); PyException_SetCause steals it.
    PyException_SetCause(replacement.get(), PyException_GetCause(owned_value.get()));
    PyErr_SetObject(PyExc_TypeError, replacement.get());
}

void set_error(PyObject* format_result) {
    PyRef message = PyRef::steal(format_result);
    if (message) PyErr_SetObject(PyExc_TypeError, message.get());
}

}  // namespace

bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs,
                    std::span<ArgValue> out) {
    const size_t nparams = sig.params.size();
    if (nparams == 0 || nparams > kMaxParams || out.size() < nparams) {
        PyErr_SetString(PyExc_SystemError, "bad argument table");
        return false;
    }
    // Strong references: conversions run Python code (__index__, __iter__, __bool__), and a
    // caller holding the kwargs dict could drop a value from it meanwhile.
    PyRef slots[kMaxParams];
    const Py_ssize_t nargs = PyTuple_Size(args);
    if (nargs < 0) return false;
    for (size_t i = 0; i < nparams && i < static_cast<size_t>(nargs); ++i) {
        slots[i] = PyRef::borrow(PyTuple_GetItem(args, static_cast<Py_ssize_t>(i)));
    }

    // The interpreter's order of checks: keywords first (unknown or repeated names), then the
    // count of positional arguments, then missing ones.
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                set_error(PyUnicode_FromFormat("%s() keywords must be strings", sig.function));
                return false;
            }
            size_t i = 0;
            while (i < nparams && PyUnicode_CompareWithASCIIString(key, sig.params[i].name) != 0) {
                ++i;
            }
            if (i == nparams) {
                set_error(PyUnicode_FromFormat("%s() got an unexpected keyword argument '%S'",
                                               sig.function, key));
                return false;
            }
            if (slots[i]) {
                set_error(PyUnicode_FromFormat("%s() got multiple values for argument '%s'",
                                               sig.function, sig.params[i].name));
                return false;
            }
            slots[i] = PyRef::borrow(value);
        }
    }
    if (static_cast<size_t>(nargs) > nparams) {
        if (nparams == 1) {
            set_error(PyUnicode_FromFormat("%s() takes 1 positional argument but %zd were given",
                                           sig.function, nargs));
        } else {
            set_error(PyUnicode_FromFormat(
                "%s() takes from 1 to %zu positional arguments but %zd were given", sig.function,
                nparams, nargs));
        }
        return false;
    }
    if (!slots[0]) {
        set_error(PyUnicode_FromFormat("%s() missing 1 required positional argument: '%s'",
                                       sig.function, sig.params[0].name));
        return false;
    }

    for (size_t i = 0; i < nparams; ++i) {
        const ParamSpec& spec = sig.params[i];
        if (!slots[i]) {
            out[i].flag = spec.default_flag;
            out[i].count = spec.default_count;
            continue;
        }
        if (!convert(spec, slots[i].get(), out[i])) {
            prefix_type_error(spec.name);
            return false;
        }
    }
    return true;
}

}  // namespace vellix::py
