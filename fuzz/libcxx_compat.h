// Included first into every file of the libFuzzer build (clang 16 with libc++ 16; see
// fuzz/fuzz.sh). libc++ 16 has std::expected but no std::from_chars for floating point, which
// the number readers use; this supplies the double overload with the same grammar and errors
// (an optional '-', digits with an optional point and exponent, or inf, infinity, nan; no
// leading '+', white space or hex prefix), by way of strtod on a terminated copy.
#pragma once

#include <charconv>

#if defined(_LIBCPP_VERSION) && _LIBCPP_VERSION < 170000
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string>
#include <system_error>

namespace std {

inline from_chars_result from_chars(const char* first, const char* last, double& value,
                                    chars_format = chars_format::general) {
    const char* p = first;
    if (p != last && *p == '-') ++p;
    auto word = [&](const char* w) {
        const char* q = p;
        for (; *w != 0; ++w, ++q) {
            if (q == last || std::tolower(static_cast<unsigned char>(*q)) != *w) return p;
        }
        return q;
    };
    const char* end = word("infinity");
    if (end == p) end = word("inf");
    if (end == p) end = word("nan");
    if (end == p) {
        const char* q = p;
        bool digits = false;
        for (; q != last && *q >= '0' && *q <= '9'; ++q) digits = true;
        if (q != last && *q == '.') {
            for (++q; q != last && *q >= '0' && *q <= '9'; ++q) digits = true;
        }
        if (!digits) return {first, errc::invalid_argument};
        end = q;
        if (q != last && (*q == 'e' || *q == 'E')) {
            ++q;
            if (q != last && (*q == '+' || *q == '-')) ++q;
            if (q != last && *q >= '0' && *q <= '9') {
                while (q != last && *q >= '0' && *q <= '9') ++q;
                end = q;
            }
        }
    }
    const std::string text(first, end);
    errno = 0;
    const double v = std::strtod(text.c_str(), nullptr);
    if (errno == ERANGE && (std::isinf(v) || v == 0.0)) return {end, errc::result_out_of_range};
    value = v;
    return {end, errc{}};
}

}  // namespace std
#endif
