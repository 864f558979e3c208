// Buffer formats: the element types that buffers are matched against (by
// kind and size), and the reading of a buffer's struct-style format string
// with the messages for a mismatch.
//
// Relies on the CPython C API only (ref.hpp brings it in).
#pragma once

#include "ref.hpp"

namespace pyext {
namespace {

// An element type as buffers are matched against it: by kind ('I' signed
// integer, 'U' unsigned integer or bool, 'R' real floating point) and size.
struct ElemType {
    const char* name;
    char group;
    Py_ssize_t size;
};

constexpr ElemType kInt{"int", 'I', 4};
constexpr ElemType kInt64{"int64_t", 'I', 8};
constexpr ElemType kUInt8{"uint8_t", 'U', 1};
constexpr ElemType kFloat32{"float32_t", 'R', 4};
constexpr ElemType kDouble{"double", 'R', 8};

inline const char* describe_type_char(char c, bool is_complex) {
    switch (c) {
    case '?': return "'bool'";
    case 'c': return "'char'";
    case 'b': return "'signed char'";
    case 'B': return "'unsigned char'";
    case 'h': return "'short'";
    case 'H': return "'unsigned short'";
    case 'i': return "'int'";
    case 'I': return "'unsigned int'";
    case 'l': return "'long'";
    case 'L': return "'unsigned long'";
    case 'q': return "'long long'";
    case 'Q': return "'unsigned long long'";
    case 'f': return is_complex ? "'complex float'" : "'float'";
    case 'd': return is_complex ? "'complex double'" : "'double'";
    case 'g': return is_complex ? "'complex long double'" : "'long double'";
    case 'T': return "a struct";
    case 'O': return "Python object";
    case 'P': return "a pointer";
    case 's': case 'p': return "a string";
    case 0: return "end";
    default: return "unparsable format string";
    }
}

// Kind group of a format character, or 0 for one we cannot read.
inline char type_char_group(char c, bool is_complex) {
    switch (c) {
    case 'c': return 'H';
    case 'b': case 'h': case 'i': case 'l': case 'q': case 's': case 'p': return 'I';
    case '?': case 'B': case 'H': case 'I': case 'L': case 'Q': return 'U';
    case 'f': case 'd': case 'g': return is_complex ? 'C' : 'R';
    case 'O': return 'O';
    case 'P': return 'P';
    case 'T': return 'S';
    default: return 0;
    }
}

inline Py_ssize_t type_char_size(char c, bool standard) {
    switch (c) {
    case 'c': case 'b': case 'B': case '?': case 's': case 'p': return 1;
    case 'h': case 'H': return 2;
    case 'i': case 'I': return 4;
    case 'l': case 'L': return standard ? 4 : static_cast<Py_ssize_t>(sizeof(long));
    case 'q': case 'Q': return 8;
    case 'f': return 4;
    case 'd': return 8;
    case 'g': return static_cast<Py_ssize_t>(sizeof(long double));
    case 'O': case 'P': return static_cast<Py_ssize_t>(sizeof(void*));
    default: return 0;
    }
}

inline void raise_dtype_mismatch(const char* quote, const char* expected, const char* found) {
    PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s",
                 quote, expected, quote, found);
}

// True when `format` describes exactly one item of `type`; sets the error otherwise.
inline bool check_format(const char* format, const ElemType& type) {
    const char* s = format ? format : "B";
    bool standard = false;
    bool matched = false;
    while (*s) {
        char c = *s;
        if (c == '@' || c == '^') { standard = false; ++s; continue; }
        if (c == '=' || c == '<') { standard = true; ++s; continue; }
        if (c == '>' || c == '!') {
            PyErr_SetString(PyExc_ValueError,
                            "Big-endian buffer not supported on little-endian compiler");
            return false;
        }
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') { ++s; continue; }
        long count = 1;
        if (c >= '0' && c <= '9') {
            count = 0;
            while (*s >= '0' && *s <= '9') { count = count * 10 + (*s - '0'); ++s; }
            c = *s;
        }
        bool is_complex = false;
        if (c == 'Z') { is_complex = true; c = *++s; }
        char group = type_char_group(c, is_complex);
        if (!group) {
            PyErr_Format(PyExc_ValueError, "Unexpected format string character: '%c'", c);
            return false;
        }
        Py_ssize_t size = type_char_size(c, standard) * (is_complex ? 2 : 1);
        const char* found = describe_type_char(c, is_complex);
        for (long k = 0; k < count; ++k) {
            if (matched) { raise_dtype_mismatch("", "end", found); return false; }
            if (group != type.group || size != type.size) {
                raise_dtype_mismatch("'", type.name, found);
                return false;
            }
            matched = true;
        }
        if (c == 'T') {  // a struct never matches a scalar; the check above raised
            return false;
        }
        ++s;
    }
    if (!matched) {
        raise_dtype_mismatch("'", type.name, "end");
        return false;
    }
    return true;
}

}  // namespace
}  // namespace pyext
