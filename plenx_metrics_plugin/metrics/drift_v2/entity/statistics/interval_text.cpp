// interval_text.cpp: the field text of a continuous interval, f"{lower}-{upper}".
//
// Plain ints and floats whose repr is a short decimal are written here while shortcuts are on;
// anything else is formatted by the interpreter, in the f-string's order.
#include "interval.hpp"

#include <charconv>
#include <cmath>

namespace interval {

using namespace glue;

namespace {

/// Writes format(v, "") of a double that is the nearest one to a decimal with at most two
/// places, below 2**45 in size; false for any other double. Below 2**45 the spacing of doubles
/// is under 0.01, so that decimal is the shortest text that reads back as v: the host's repr.
bool format_two_places(double v, char*& out) {
    if (!(std::fabs(v) < 35184372088832.0)) return false;
    const long double whole = rintl(static_cast<long double>(v) * 100);  // exact product
    if (static_cast<double>(whole) / 100 != v) return false;
    long long hundredths = static_cast<long long>(whole);
    if (std::signbit(v)) {
        *out++ = '-';
        hundredths = -hundredths;
    }
    out = std::to_chars(out, out + 24, hundredths / 100).ptr;
    *out++ = '.';
    const int places = static_cast<int>(hundredths % 100);
    *out++ = static_cast<char>('0' + places / 10);
    if (places % 10 != 0) *out++ = static_cast<char>('0' + places % 10);
    return true;
}

/// Writes format(o, "") for an exact int that fits a long or a float that format_two_places takes.
bool format_number(PyObject* o, char*& out) {
    if (!basic_shortcuts()) return false;  // nothing past the Limited API: both builds
    long value;
    if (PyLong_CheckExact(o) && fast::small_int(o, &value)) {
        out = std::to_chars(out, out + 24, value).ptr;
        return true;
    }
    return PyFloat_CheckExact(o) && format_two_places(glue::float_value(o), out);
}

}  // namespace

RangeText::RangeText(PyObject* lower) {
    if (format_number(lower, out_)) {
        *out_++ = '-';
    } else {
        lower_text_ = check(PyObject_Format(lower, nullptr));
    }
}

Ref RangeText::with(PyObject* upper) {
    char* lower_end = out_;
    if (!lower_text_ && format_number(upper, out_)) return ascii_text(buffer_, out_ - buffer_);
    if (!lower_text_) lower_text_ = ascii_text(buffer_, lower_end - 1 - buffer_);
    Ref upper_text = check(PyObject_Format(upper, nullptr));
    return check(PyUnicode_FromFormat("%U-%U", lower_text_.get(), upper_text.get()));
}

}  // namespace interval
