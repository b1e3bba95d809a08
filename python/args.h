// Binding of Python call arguments to a function's parameters, and their conversion to C++
// values. One binder serves every function of the module; each function describes its
// parameters in a table.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "py.h"

namespace vellix::py {

enum class ParamKind : std::uint8_t {
    Text,      // a str or an os.PathLike path, as UTF-8
    Flag,      // a bool, or numpy's boolean scalar
    Count,     // an int from 0 to 2^64 - 1, through the index protocol
    TextList,  // a sequence of Text that is not itself a str
};

struct ParamSpec {
    const char* name;
    ParamKind kind;
    // Defaults of the optional parameters; only the first parameter of a signature is required.
    bool default_flag = false;
    std::uint64_t default_count = 0;
};

struct Signature {
    const char* function;              // the name used in error messages
    std::span<const ParamSpec> params;  // at most kMaxParams; the first one is required
};

inline constexpr size_t kMaxParams = 8;

// One converted argument; the field that matches the parameter's kind is set.
struct ArgValue {
    std::string text;
    std::vector<std::string> texts;
    bool flag = false;
    std::uint64_t count = 0;
};

// Binds `args` (a tuple) and `kwargs` (a dict or null) to the parameters of `sig`, with the
// interpreter's own wording for missing, surplus, unexpected and repeated arguments, then
// converts them in parameter order into `out` (one element per parameter). Returns false with a
// Python exception set on the first failure. A conversion failure that is exactly a TypeError
// comes back as a TypeError "argument '<name>': <message>" with the original cause; every other
// exception passes unchanged.
[[nodiscard]] bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs,
                                  std::span<ArgValue> out);

}  // namespace vellix::py
