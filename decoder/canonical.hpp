// The canonical form of the two scalar tokens, as most real data writes them, read straight from
// the buffer. Whatever is not in this form (leading zeros, a sign where none belongs, more digits
// than 64 bits hold, a token that runs past the input) is left to the general steps, which convert
// and refuse as Python's int() and the readers' rules decide.
#pragma once

#include <cstdint>

#include "../module/runtime.hpp"
#include "reading.hpp"

namespace vorlaken::decoder {

// Up to max_digits ASCII digits at q, at least one, directly followed by terminator before limit;
// no superfluous leading zero. Returns the terminator's address with their value in *value, or
// null. (Digit by digit: for the numbers of real data, mostly short, this takes fewer steps than
// reading eight bytes at a time.)
inline const char* canonical_digits(const char* q, const char* limit, int max_digits,
                                    char terminator, uint64_t* value) {
    if (q >= limit) {
        return nullptr;
    }
    uint64_t v = static_cast<unsigned char>(*q) - '0';
    if (v > 9) {
        return nullptr;
    }
    const char* first = q++;
    if (v != 0) {  // a leading "0" is the whole number, or no canonical number at all
        const char* stop = limit - first > max_digits ? first + max_digits : limit;
        for (; q < stop; ++q) {
            const unsigned d = static_cast<unsigned char>(*q) - '0';
            if (d > 9) {
                break;
            }
            v = v * 10 + d;
        }
    }
    if (q >= limit || *q != terminator) {
        return nullptr;
    }
    *value = v;
    return q;
}

// The integer token whose marker is just before q in canonical form: "-" or not, up to 19 digits,
// "e". A new int, *end the address after the "e"; null without an exception where the general
// steps decide (negative zero included), with one when the int cannot be made.
inline PyObject* canonical_int(const char* q, const char* limit, const char** end) {
    const bool negative = q < limit && *q == '-';
    uint64_t u;
    const char* e = canonical_digits(q + negative, limit, 19, 'e', &u);
    if (!e || (negative && u > static_cast<uint64_t>(INT64_MAX) + 1) || (negative && u == 0)) {
        return nullptr;
    }
    *end = e + 1;
    if (negative) {
        return PyLong_FromLongLong(static_cast<long long>(-(u - 1)) - 1);
    }
    return u <= static_cast<uint64_t>(INT64_MAX) ? PyLong_FromLongLong(static_cast<long long>(u))
                                                 : PyLong_FromUnsignedLongLong(u);
}

// The byte string token at p: a length of up to 18 digits, ":", and that many bytes, all before
// limit. Returns the address of the bytes with their number in *n, or null.
inline const char* canonical_string(const char* p, const char* limit, Py_ssize_t* n) {
    uint64_t length;
    const char* colon;
    // Most lengths in real data have one or two digits.
    const unsigned d0 = static_cast<unsigned char>(p[0]) - '0';
    const unsigned d1 = limit - p >= 3 ? static_cast<unsigned char>(p[1]) - '0' : 255;  // no room
    if (d0 <= 9 && d1 == static_cast<unsigned>(':' - '0')) {
        length = d0;
        colon = p + 1;
    } else if (d0 - 1 <= 8 && d1 <= 9 && p[2] == ':') {
        length = d0 * 10 + d1;
        colon = p + 2;
    } else {
        colon = canonical_digits(p, limit, 18, ':', &length);
    }
    if (!colon || length > static_cast<uint64_t>(limit - colon - 1)) {
        return nullptr;
    }
    *n = static_cast<Py_ssize_t>(length);
    return colon + 1;
}

// The byte string token at p in canonical form as a new bytes object (for a dictionary key, one
// shared within the call), *end the address after it. Null without an exception where the general
// steps decide, with one when the object cannot be made.
template <bool Key>
inline PyObject* canonical_bytes(const char* p, const char* limit, const char** end) {
    Py_ssize_t n;
    const char* bytes = canonical_string(p, limit, &n);
    if (!bytes) {
        return nullptr;
    }
    *end = bytes + n;
    return Key ? DecodeCall::new_key(bytes, n) : PyBytes_FromStringAndSize(bytes, n);
}

}  // namespace vorlaken::decoder
