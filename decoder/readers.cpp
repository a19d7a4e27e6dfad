// The two scalar token readers: integers ("i", digits, "e") and byte strings (length, ":",
// bytes). The digits are converted as Python's int() converts bytes; the readers add only the
// rules against superfluous leading zeros, negative zero and negative lengths.
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>

#include "../module/calls.hpp"
#include "canonical.hpp"
#include "decoder.hpp"
#include "input.hpp"
#include "reading.hpp"

namespace vorlaken::decoder {

int byte_at_failed(PyObject* x, int64_t i) {
    Ref index(PyLong_FromLongLong(i));
    if (index) {
        Ref item(PyObject_GetItem(x, index.get()));
        if (item) {  // only reached if the fast path and Python disagree
            PyErr_SetString(PyExc_SystemError, "inconsistent byte access");
        }
    }
    return -1;
}

bool search_failed(PyObject* x, PyObject* marker, int64_t start) {
    Ref from(PyLong_FromLongLong(start));
    if (from) {
        Ref found(PyObject_CallMethodObjArgs(x, rt.id_index, marker, from.get(), nullptr));
        if (found) {
            PyErr_SetString(PyExc_SystemError, "inconsistent byte search");
        }
    }
    return false;
}

PyObject* result_pair(PyObject* value, PyObject* offset) {
    Ref v(value), o(offset);
    if (!v || !o) {
        return nullptr;
    }
    PyObject* pair = PyTuple_New(2);
    if (pair) {
        PyTuple_SET_ITEM(pair, 0, v.release());
        PyTuple_SET_ITEM(pair, 1, o.release());
    }
    return pair;
}

namespace {

// The common canonical case of a number: an optional "-" and up to 18 ASCII digits, which
// int() would read to the same value. Everything else goes to int() itself.
bool small_number(const char* p, Py_ssize_t len, int64_t* out) {
    const bool negative = len > 0 && p[0] == '-';
    Py_ssize_t i = negative ? 1 : 0;
    if (len - i < 1 || len - i > 18) {
        return false;
    }
    int64_t v = 0;
    for (; i < len; ++i) {
        const unsigned d = static_cast<unsigned char>(p[i]) - '0';
        if (d > 9) {
            return false;
        }
        v = v * 10 + d;
    }
    *out = negative ? -v : v;
    return true;
}

// int(x[a:b]) as Python computes it, with 0 <= a, b <= len(x).
PyObject* int_of_slice(PyObject* x, Py_ssize_t a, Py_ssize_t b) {
    Ref digits(PyBytes_FromStringAndSize(PyBytes_AS_STRING(x) + a, b > a ? b - a : 0));
    return digits ? PyNumber_Long(digits.get()) : nullptr;
}

// int(x[a:b]), either as a small value (big stays null) or as an int object.
bool read_number(PyObject* x, Py_ssize_t a, Py_ssize_t b, int64_t* small, Ref* big) {
    if (small_number(PyBytes_AS_STRING(x) + a, b > a ? b - a : 0, small)) {
        return true;
    }
    *big = Ref(int_of_slice(x, a, b));
    return static_cast<bool>(*big);
}

bool refuse() {
    raise_object(rt.ValueError);
    return false;
}

// The general steps of int_token, for every token that is not in canonical form.
[[gnu::noinline]] bool int_token_general(PyObject* x, int32_t f, Token& out) {
    if (x == Py_None) {
        return search_failed(x, rt.b_e, 0);
    }
    const int64_t s = int64_t{f} + 1;  // wide, so that f at the top of the range cannot wrap
    const Py_ssize_t new_f = find_byte(x, 'e', s);
    if (new_f < 0) {
        return search_failed(x, rt.b_e, s);
    }
    int64_t small;
    Ref n;
    if (!read_number(x, clamp_offset(s, PyBytes_GET_SIZE(x)), new_f, &small, &n)) {
        return false;
    }
    const int b0 = byte_at(x, s);
    if (b0 < 0) {
        return false;
    }
    if (b0 == '-') {
        const int b1 = byte_at(x, s + 1);
        if (b1 < 0) {
            return false;
        }
        if (b1 == '0') {
            return refuse();
        }
    } else if (b0 == '0' && new_f != s + 1) {
        return refuse();
    }
    out.value = n ? std::move(n) : Ref(PyLong_FromLongLong(small));
    out.end = new_f + 1;
    return static_cast<bool>(out.value);
}

// The canonical form of most integers in real data is read here; anything else, refusals
// included, by the general steps.
bool int_token(PyObject* x, int32_t f, Token& out) {
    if (x != Py_None && f >= -1 && f < PyBytes_GET_SIZE(x)) [[likely]] {
        const char* data = PyBytes_AS_STRING(x);
        const char* end;
        if (PyObject* value = canonical_int(data + f + 1, data + PyBytes_GET_SIZE(x), &end)) {
            out.value = Ref(value);
            out.end = end - data;
            return true;
        }
        if (PyErr_Occurred()) {
            return false;
        }
    }
    return int_token_general(x, f, out);
}

// Whether an int is below zero; an int too large for 64 bits reports its sign as the overflow.
bool is_negative(PyObject* n) {
    int overflow;
    const long long v = PyLong_AsLongLongAndOverflow(n, &overflow);
    return overflow < 0 || (overflow == 0 && v < 0);
}

// The declared length as a 64-bit value, or a pending error. A length whose sum with the value's
// start leaves the signed 64-bit range gets the interpreter's own OverflowError.
bool value_end(Py_ssize_t start, PyObject* n, int64_t* end) {
    int overflow;
    const long long v = PyLong_AsLongLongAndOverflow(n, &overflow);
    if (!overflow && !__builtin_add_overflow(int64_t{start}, int64_t{v}, end)) {
        return true;
    }
    if (PyErr_Occurred()) {
        return false;
    }
    Ref from(PyLong_FromSsize_t(start));
    Ref sum(from ? PyNumber_Add(from.get(), n) : nullptr);
    if (!sum) {
        return false;
    }
    *end = PyLong_AsSsize_t(sum.get());
    return !(*end == -1 && PyErr_Occurred());
}

// The general steps of string_token, for every token that is not in canonical form.
template <bool Shared>
[[gnu::noinline]] bool string_token_general(PyObject* x, int32_t f, Token& out) {
    if (x == Py_None) {
        return search_failed(x, rt.b_colon, f);
    }
    Py_ssize_t colon = find_byte(x, ':', f);
    if (colon < 0) {
        return search_failed(x, rt.b_colon, f);
    }
    const Py_ssize_t size = PyBytes_GET_SIZE(x);
    int64_t length;
    Ref big;
    if (!read_number(x, clamp_offset(f, size), colon, &length, &big)) {
        return false;
    }
    const int b0 = byte_at(x, f);
    if (b0 < 0) {
        return false;
    }
    if (b0 == '0' && colon != int64_t{f} + 1) {
        return refuse();
    }
    // A negative length would send the caller back before this token: a dictionary could then
    // read the same bytes for ever.
    if (big ? is_negative(big.get()) : length < 0) {
        return refuse();
    }
    colon += 1;
    int64_t end = colon + length;  // a small length cannot overflow
    if (big && !value_end(colon, big.get(), &end)) {
        return false;
    }
    const Py_ssize_t stop = end < size ? static_cast<Py_ssize_t>(end) : size;
    const char* value = PyBytes_AS_STRING(x) + colon;
    out.value = Ref(Shared ? DecodeCall::new_key(value, stop - colon)
                           : PyBytes_FromStringAndSize(value, stop - colon));
    out.end = end;
    return static_cast<bool>(out.value);
}

// The canonical form of most byte strings in real data is read here; anything else, refusals
// included, by the general steps.
template <bool Shared>
bool string_token(PyObject* x, int32_t f, Token& out) {
    if (x != Py_None && f >= 0 && f < PyBytes_GET_SIZE(x)) [[likely]] {
        const char* data = PyBytes_AS_STRING(x);
        const char* end;
        if (PyObject* value = canonical_bytes<Shared>(data + f, data + PyBytes_GET_SIZE(x), &end)) {
            out.value = Ref(value);
            out.end = end - data;
            return true;
        }
        if (PyErr_Occurred()) {
            return false;
        }
    }
    return string_token_general<Shared>(x, f, out);
}

}  // namespace

bool read_int(PyObject* x, int32_t f, Token& out) {
    return traced<int_token, Site::decode_int>(x, f, out);
}

bool read_string(PyObject* x, int32_t f, Token& out) {
    return traced<string_token<false>, Site::decode_string>(x, f, out);
}

bool read_key(PyObject* x, int32_t f, Token& out) {
    return traced<string_token<true>, Site::decode_string>(x, f, out);
}

namespace {

[[gnu::tls_model("initial-exec")]] thread_local DecodeCall* current_call = nullptr;

uint64_t load8(const char* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

uint32_t load4(const char* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

}  // namespace

DecodeCall::DecodeCall() noexcept : thread_(PyThreadState_Get()), previous_(current_call) {
    current_call = this;
}

DecodeCall::~DecodeCall() {
    for (uint64_t used = used_; used; used &= used - 1) {
        Py_DECREF(slot_[__builtin_ctzll(used)].key);
    }
    current_call = previous_;
}

DecodeCall* DecodeCall::current() noexcept {
    return current_call;
}

PyObject* DecodeCall::shared(const char* data, Py_ssize_t n) {
    uint64_t head = 0, tail = 0;
    if (n >= 8) {
        head = load8(data);
        tail = load8(data + n - 8);
    } else if (n >= 4) {
        head = load4(data) | uint64_t{load4(data + n - 4)} << 32;
    } else if (n > 0) {
        const auto byte = [data](Py_ssize_t i) {
            return uint64_t{static_cast<unsigned char>(data[i])};
        };
        head = byte(0) | byte(n / 2) << 8 | byte(n - 1) << 16;
    }
    const uint64_t h =
        ((head * 0x9E3779B97F4A7C15ull) ^ tail ^ static_cast<uint64_t>(n)) * 0xC2B2AE3D27D4EB4Full;
    const int i = static_cast<int>(h >> 58);
    const uint64_t bit = uint64_t{1} << i;
    Slot& slot = slot_[i];
    if (used_ & bit) {
        if (slot.n == n && slot.head == head && slot.tail == tail) {
            return Py_NewRef(slot.key);
        }
        Py_DECREF(slot.key);
        used_ &= ~bit;
    }
    PyObject* key = PyBytes_FromStringAndSize(data, n);
    if (key) {
        slot = {Py_NewRef(key), head, tail, n};
        used_ |= bit;
    }
    return key;
}

PyObject* token_pair(Token& t) {
    PyObject* end = t.end_object ? t.end_object.release() : PyLong_FromLongLong(t.end);
    return result_pair(t.value.release(), end);
}

namespace {

// A public reader: the body, then the pair; a failure to build the pair is the reader's own.
template <bool (*Read)(PyObject*, int32_t, Token&), Site S>
PyObject* public_reader(PyObject* x, int32_t f) {
    DecodeCall call;
    Token t;
    if (!Read(x, f, t)) {
        return nullptr;
    }
    PyObject* pair = token_pair(t);
    if (!pair) {
        add_traceback(S);
    }
    return pair;
}

}  // namespace

PyObject* decode_int(PyObject* x, int32_t f) {
    return public_reader<read_int, Site::decode_int>(x, f);
}

PyObject* decode_string(PyObject* x, int32_t f) {
    return public_reader<read_string, Site::decode_string>(x, f);
}

PyObject* decode_list(PyObject* x, int32_t f) {
    return public_reader<read_list, Site::decode_list>(x, f);
}

PyObject* decode_dict(PyObject* x, int32_t f) {
    return public_reader<read_dict, Site::decode_dict>(x, f);
}

}  // namespace vorlaken::decoder
