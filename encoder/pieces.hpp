// Where the writers put their pieces: a piece list, or the bytes that bencode's own piece list
// would join into, for as long as no code of a caller's can see that list.
#pragma once

#include <cstdint>
#include <cstring>

#include "../module/runtime.hpp"

namespace vorlaken::encoder {

// The piece list r of a writer. A list that a caller passed is written to as it is. The list that
// bencode makes for itself is seen by nobody until it is handed to code of a caller's, so until
// then its pieces are kept as the bytes that the final join would give: no piece object is made,
// and the join copies nothing. The moment caller code could run (a caller's writer or dispatcher
// would receive the list, or a value asks for code of its own: an items method, a __bool__, an
// iterator, an instance check), list() makes the real list, holding exactly the pieces that the
// writers would have appended by then (the same markers, the values themselves, new digits), and
// from there on the writers append to it as usual. No caller can tell the two ways apart.
namespace digits {

extern const char pairs[201];  // "00" to "99"

// The number of decimal digits of u.
inline int length(uint64_t u) {
    static constexpr uint64_t powers[] = {1ull,
                                          10ull,
                                          100ull,
                                          1000ull,
                                          10000ull,
                                          100000ull,
                                          1000000ull,
                                          10000000ull,
                                          100000000ull,
                                          1000000000ull,
                                          10000000000ull,
                                          100000000000ull,
                                          1000000000000ull,
                                          10000000000000ull,
                                          100000000000000ull,
                                          1000000000000000ull,
                                          10000000000000000ull,
                                          100000000000000000ull,
                                          1000000000000000000ull,
                                          10000000000000000000ull};
    u |= 1;                                                  // 0 has one digit, as 1 has
    const int t = ((64 - __builtin_clzll(u)) * 1233) >> 12;  // log10 from log2, or one more
    return t - (u < powers[t]) + 1;
}

// Writes the n digits of u at out; returns the end.
inline char* write(char* out, uint64_t u, int n) {
    char* p = out + n;
    while (u >= 100) {
        const unsigned i = static_cast<unsigned>(u % 100) * 2;
        u /= 100;
        *--p = pairs[i + 1];
        *--p = pairs[i];
    }
    if (u >= 10) {
        *--p = pairs[u * 2 + 1];
        *--p = pairs[u * 2];
    } else {
        *--p = static_cast<char>('0' + u);
    }
    return out + n;
}

}  // namespace digits

// n bytes from src to dst, without a call for the short byte strings that are most of the keys
// and values of real data.
inline void copy_bytes(char* dst, const char* src, Py_ssize_t n) {
    if (n >= 8 && n <= 16) {
        std::memcpy(dst, src, 8);
        std::memcpy(dst + n - 8, src + n - 8, 8);
    } else if (n >= 4 && n < 8) {
        std::memcpy(dst, src, 4);
        std::memcpy(dst + n - 4, src + n - 4, 4);
    } else if (n > 0 && n < 4) {
        dst[0] = src[0];
        dst[n / 2] = src[n / 2];
        dst[n - 1] = src[n - 1];
    } else if (n > 16) {
        std::memcpy(dst, src, static_cast<size_t>(n));
    }
}

struct WriterProof;

class Pieces {
  public:
    // The piece list a caller gave (anything at all, for encode; None too).
    explicit Pieces(PyObject* list) noexcept : list_(list) {}
    // bencode's own piece list, for encoding root.
    struct Own {};
    Pieces(Own, PyObject* root) noexcept : root_(root), own_(true) {}

    // The thread the encoding runs on, for the recursion accounting of direct calls.
    PyThreadState* ts() const { return ts_; }

    // While the pieces are kept: what the namespace and the writer table were found to hold
    // (see writer_proof).
    bool proof_taken = false;
    const WriterProof* proof = nullptr;
    ~Pieces();
    Pieces(const Pieces&) = delete;
    Pieces& operator=(const Pieces&) = delete;

    // True while the pieces are kept as bytes.
    bool kept() const { return own_ && !list_; }
    // The piece list itself, made now if it was kept; null with an exception set.
    PyObject* list();
    // Whether the piece list passes a writer's type test (exactly a list, or None).
    bool passes_type_test() const;
    bool is_none() const { return list_ == Py_None; }

    // "l", "d" or "e".
    bool marker(PyObject* marker) {
        if (kept() && size_ < capacity_) [[likely]] {
            data_[size_++] = PyBytes_AS_STRING(marker)[0];
            return true;
        }
        return marker_slow(marker);
    }
    bool int_token(long long value) {
        if (kept() && capacity_ - size_ >= 22) [[likely]] {
            char* out = data_ + size_;
            *out++ = 'i';
            uint64_t u = static_cast<uint64_t>(value);
            if (value < 0) {
                *out++ = '-';
                u = 0 - u;
            }
            out = digits::write(out, u, digits::length(u));
            *out++ = 'e';
            size_ = out - data_;
            return true;
        }
        return int_token_slow(value);
    }
    bool int_token(PyObject* digits);  // digits: the bytes of a number beyond 64 bits
    // The pieces of a byte string: its length, ":" and value, which must be bytes-like and whose
    // own object is the piece; data and size are its bytes.
    bool string_token(PyObject* value, const char* data, Py_ssize_t size) {
        if (kept() && size < long_value && size <= capacity_ - size_ - 21) [[likely]] {
            char* out = digits::write(data_ + size_, static_cast<uint64_t>(size),
                                      digits::length(static_cast<uint64_t>(size)));
            *out++ = ':';
            copy_bytes(out, data, size);
            size_ = out + size - data_;
            return true;
        }
        return string_token_slow(value, data, size);
    }

    // The pieces of a byte string whose value is no bytes object (a caller's bytes-like object):
    // only ever on a real piece list, since such a value is reached through code of its own.
    bool string_piece(PyObject* value, Py_ssize_t size);

    // b"".join(pieces): bencode's result.
    PyObject* join();

  private:
    // A byte string this long is not copied into the kept bytes but spliced into the result
    // when it is made, so that it is copied once: the kept bytes stay small, and growing them
    // copies little.
    static constexpr Py_ssize_t long_value = 512;
    struct Spliced {
        Py_ssize_t at;    // where its bytes belong in the kept bytes
        PyObject* value;  // a bytes object, held
    };

    bool marker_slow(PyObject* marker);
    bool int_token_slow(long long value);
    bool string_token_slow(PyObject* value, const char* data, Py_ssize_t size);
    bool reserve(Py_ssize_t more);
    bool extend3(PyObject* a, PyObject* b, PyObject* c);
    bool materialise();

    PyThreadState* ts_ = PyThreadState_Get();
    PyObject* list_ = nullptr;  // borrowed from the caller, or owned (made by list())
    PyObject* root_ = nullptr;
    bool own_ = false;
    // The kept bytes: first in inline_, then in a bytes object that grows and becomes the result.
    char inline_[256];
    PyObject* bytes_ = nullptr;
    char* data_ = inline_;
    Py_ssize_t size_ = 0;
    Py_ssize_t capacity_ = sizeof inline_;
    // The long values left out of the kept bytes, in order.
    Spliced* spliced_ = nullptr;
    Py_ssize_t n_spliced_ = 0;
    Py_ssize_t spliced_capacity_ = 0;
    Py_ssize_t spliced_size_ = 0;  // their bytes in all
};

// AttributeError "'NoneType' object has no attribute '<name>'", for a piece list that is None.
void no_piece_list(const char* method);

// A writer's result: None, or null after adding the writer's traceback entry.
inline PyObject* done(bool ok, Site site) {
    if (!ok) {
        add_traceback(site);
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace vorlaken::encoder
