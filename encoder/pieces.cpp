#include "pieces.hpp"

#include <cstring>
#include <new>

#include "../module/binding.hpp"
#include "writing.hpp"

namespace vorlaken::encoder {

const char digits::pairs[201] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

namespace {

// The decimal digits of v, written so that they end at end; returns where they start.
char* decimal(long long v, char* end) {
    char* p = end;
    unsigned long long u = v < 0 ? 0ull - static_cast<unsigned long long>(v) : v;
    do {
        *--p = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u);
    if (v < 0) {
        *--p = '-';
    }
    return p;
}

// str(v).encode(), a new digits piece.
PyObject* digits_piece(long long v) {
    char buffer[24];
    char* end = buffer + sizeof buffer;
    char* start = decimal(v, end);
    return PyBytes_FromStringAndSize(start, end - start);
}

}  // namespace

Pieces::~Pieces() {
    if (own_) {
        Py_XDECREF(list_);
    }
    Py_XDECREF(bytes_);
    for (Py_ssize_t i = 0; i < n_spliced_; ++i) {
        Py_DECREF(spliced_[i].value);
    }
    PyMem_Free(spliced_);
}

bool Pieces::passes_type_test() const {
    return kept() || check_exact(list_, &PyList_Type, "r");
}

PyObject* Pieces::list() {
    if (kept() && !materialise()) {
        return nullptr;
    }
    return list_;
}

bool Pieces::reserve(Py_ssize_t more) {
    Py_ssize_t want;
    if (__builtin_add_overflow(size_, more, &want)) {
        PyErr_NoMemory();
        return false;
    }
    if (want <= capacity_) {
        return true;
    }
    // Half as much again: the peak stays within one and a half times the result.
    Py_ssize_t grown = capacity_ + capacity_ / 2;
    const Py_ssize_t capacity = want > grown ? want : grown;
    if (!bytes_) {
        bytes_ = PyBytes_FromStringAndSize(nullptr, capacity);
        if (!bytes_) {
            return false;
        }
        std::memcpy(PyBytes_AS_STRING(bytes_), inline_, static_cast<size_t>(size_));
    } else if (bytes_resize(&bytes_, capacity) < 0) {
        // The resize freed the kept bytes: point at nothing that is gone, should anything follow.
        data_ = inline_;
        size_ = 0;
        capacity_ = sizeof inline_;
        return false;
    }
    data_ = PyBytes_AS_STRING(bytes_);
    capacity_ = capacity;
    return true;
}

bool Pieces::extend3(PyObject* a, PyObject* b, PyObject* c) {
    const Py_ssize_t n = PyList_GET_SIZE(list_);
    if (PyList_Append(list_, a) == 0 && PyList_Append(list_, b) == 0 &&
        PyList_Append(list_, c) == 0) {
        return true;
    }
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyList_SetSlice(list_, n, PY_SSIZE_T_MAX, nullptr);
    PyErr_Restore(type, value, tb);
    return false;
}

bool Pieces::marker_slow(PyObject* marker) {
    if (!kept()) {
        return PyList_Append(list_, marker) == 0;
    }
    if (!reserve(1)) {
        return false;
    }
    data_[size_++] = PyBytes_AS_STRING(marker)[0];
    return true;
}

bool Pieces::int_token_slow(long long value) {
    if (!kept()) {
        Ref digits(digits_piece(value));
        return digits && extend3(rt.b_i, digits.get(), rt.b_e);
    }
    return reserve(22) && int_token(value);
}

bool Pieces::int_token(PyObject* digits) {
    if (!kept()) {
        return extend3(rt.b_i, digits, rt.b_e);
    }
    const Py_ssize_t n = PyBytes_GET_SIZE(digits);
    if (!reserve(n + 2)) {
        return false;
    }
    data_[size_] = 'i';
    std::memcpy(data_ + size_ + 1, PyBytes_AS_STRING(digits), static_cast<size_t>(n));
    data_[size_ + 1 + n] = 'e';
    size_ += n + 2;
    return true;
}

bool Pieces::string_piece(PyObject* value, Py_ssize_t size) {
    if (kept()) {
        PyErr_SetString(PyExc_SystemError, "vorlaken: a piece that is no bytes object was kept");
        return false;
    }
    Ref digits(digits_piece(size));
    return digits && extend3(digits.get(), rt.b_colon, value);
}

bool Pieces::string_token_slow(PyObject* value, const char* data, Py_ssize_t size) {
    if (!kept()) {
        Ref digits(digits_piece(size));
        return digits && extend3(digits.get(), rt.b_colon, value);
    }
    if (size < long_value || !value || !PyBytes_CheckExact(value)) {
        if (!reserve(21 + size)) {
            return false;
        }
        char* out = digits::write(data_ + size_, static_cast<uint64_t>(size),
                                  digits::length(static_cast<uint64_t>(size)));
        *out++ = ':';
        std::memcpy(out, data, static_cast<size_t>(size));
        size_ = out + size - data_;
        return true;
    }
    if (n_spliced_ == spliced_capacity_) {
        const Py_ssize_t capacity = spliced_capacity_ ? 2 * spliced_capacity_ : 8;
        Spliced* spliced = PyMem_Resize(spliced_, Spliced, capacity);
        if (!spliced) {
            PyErr_NoMemory();
            return false;
        }
        spliced_ = spliced;
        spliced_capacity_ = capacity;
    }
    if (!reserve(21)) {
        return false;
    }
    char* out = digits::write(data_ + size_, static_cast<uint64_t>(size),
                              digits::length(static_cast<uint64_t>(size)));
    *out++ = ':';
    size_ = out - data_;
    spliced_[n_spliced_++] = {size_, Py_NewRef(value)};
    spliced_size_ += size;
    return true;
}

namespace {

// b"".join(r). Pieces that are all exact bytes are copied straight into the result; anything
// else goes to the interpreter's join, which also gives its errors.
PyObject* join_list(PyObject* r) {
    const Py_ssize_t n = PyList_GET_SIZE(r);
    Py_ssize_t total = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* piece = PyList_GET_ITEM(r, i);
        if (!PyBytes_CheckExact(piece) ||
            __builtin_add_overflow(total, PyBytes_GET_SIZE(piece), &total)) {
            return bytes_join(rt.b_empty, r);
        }
    }
    if (n == 1) {  // the interpreter's join hands back a lone piece itself
        return Py_NewRef(PyList_GET_ITEM(r, 0));
    }
    PyObject* joined = PyBytes_FromStringAndSize(nullptr, total);
    if (!joined) {
        return nullptr;
    }
    char* out = PyBytes_AS_STRING(joined);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* piece = PyList_GET_ITEM(r, i);
        std::memcpy(out, PyBytes_AS_STRING(piece), PyBytes_GET_SIZE(piece));
        out += PyBytes_GET_SIZE(piece);
    }
    return joined;
}

}  // namespace

PyObject* Pieces::join() {
    if (!kept()) {
        return join_list(list_);
    }
    const Py_ssize_t total = size_ + spliced_size_;
    if (!bytes_) {
        bytes_ = PyBytes_FromStringAndSize(nullptr, total);
        if (!bytes_) {
            return nullptr;
        }
        std::memcpy(PyBytes_AS_STRING(bytes_), inline_, static_cast<size_t>(size_));
    } else if (bytes_resize(&bytes_, total) < 0) {
        return nullptr;
    }
    // The long values into their places, from the last on: each stretch of kept bytes after one
    // moves up by the long values before it.
    char* base = PyBytes_AS_STRING(bytes_);
    Py_ssize_t from = size_, to = total;
    for (Py_ssize_t i = n_spliced_ - 1; i >= 0; --i) {
        const Py_ssize_t stretch = from - spliced_[i].at;
        const Py_ssize_t n = PyBytes_GET_SIZE(spliced_[i].value);
        std::memmove(base + to - stretch, base + spliced_[i].at, static_cast<size_t>(stretch));
        to -= stretch + n;
        std::memcpy(base + to, PyBytes_AS_STRING(spliced_[i].value), static_cast<size_t>(n));
        from = spliced_[i].at;
    }
    PyObject* joined = bytes_;
    bytes_ = nullptr;
    return joined;
}

namespace {

// One container being walked while the kept bytes are turned back into pieces.
struct Frame {
    PyObject* container;  // borrowed from the value being encoded
    Py_ssize_t next = 0;
    PlainItems* items = nullptr;  // a dictionary's, in the order its items were written
    bool key_next = true;
};

// The containers from the root down to the one being written, on the heap: values may nest as
// deep as the recursion limit allows.
class Frames {
  public:
    Frames() = default;
    Frames(const Frames&) = delete;
    Frames& operator=(const Frames&) = delete;
    ~Frames() {
        while (depth_) {
            pop();
        }
        PyMem_Free(frames_);
    }
    Py_ssize_t depth() const { return depth_; }
    Frame& top() { return frames_[depth_ - 1]; }
    bool push(PyObject* container) {
        if (depth_ == capacity_) {
            const Py_ssize_t capacity = capacity_ ? 2 * capacity_ : 16;
            Frame* frames = PyMem_Resize(frames_, Frame, capacity);
            if (!frames) {
                PyErr_NoMemory();
                return false;
            }
            frames_ = frames;
            capacity_ = capacity;
        }
        frames_[depth_++] = Frame{container};
        return true;
    }
    void pop() {
        Frame& f = frames_[--depth_];
        if (f.items) {
            f.items->~PlainItems();
            PyMem_Free(f.items);
        }
    }

  private:
    Frame* frames_ = nullptr;
    Py_ssize_t depth_ = 0;
    Py_ssize_t capacity_ = 0;
};

bool inconsistent() {
    PyErr_SetString(PyExc_SystemError, "vorlaken: kept pieces do not match the value");
    return false;
}

// The value that the next token was written for: the root, or the next element of the innermost
// container (for a dictionary, its keys and values in turn, in the order they were written).
// Nothing of a caller's has run since, so every container still holds what was written.
PyObject* next_value(Frames& frames, PyObject* root) {
    if (!frames.depth()) {
        return root;
    }
    Frame& f = frames.top();
    PyObject* c = f.container;
    if (PyList_CheckExact(c) && f.next < PyList_GET_SIZE(c)) {
        return PyList_GET_ITEM(c, f.next++);
    }
    if (PyTuple_CheckExact(c) && f.next < PyTuple_GET_SIZE(c)) {
        return PyTuple_GET_ITEM(c, f.next++);
    }
    if (!f.items && (PyDict_CheckExact(c) || PyODict_CheckExact(c))) {
        void* memory = PyMem_Malloc(sizeof(PlainItems));
        if (!memory) {
            PyErr_NoMemory();
            return nullptr;
        }
        f.items = new (memory) PlainItems;
        if (f.items->take(c) <= 0) {
            if (!PyErr_Occurred()) {
                inconsistent();
            }
            return nullptr;
        }
    }
    if (f.items && f.next < f.items->size()) {
        const bool key = f.key_next;
        f.key_next = !key;
        return key ? f.items->key(f.next) : f.items->value(f.next++);
    }
    inconsistent();
    return nullptr;
}

bool append(PyObject* list, PyObject* piece) {
    return piece && PyList_Append(list, piece) == 0;
}

}  // namespace

// Turns the kept bytes back into the pieces that the writers would have appended: each token is
// matched with the value it was written for, walking the value in the order it was written. A
// marker is the marker constant, digits are new bytes objects, and a byte string's piece is the
// value itself when it is bytes (a text's piece is a new bytes object from its encoding anyway).
bool Pieces::materialise() {
    Ref list(PyList_New(0));
    if (!list) {
        return false;
    }
    Frames frames;
    Py_ssize_t next_spliced = 0;
    const char* p = data_;
    const char* const end = data_ + size_;
    while (p < end) {
        if (*p == 'e') {
            if (!frames.depth()) {
                return inconsistent();
            }
            frames.pop();
            if (!append(list.get(), rt.b_e)) {
                return false;
            }
            ++p;
            continue;
        }
        PyObject* value = next_value(frames, root_);
        if (!value) {
            return false;
        }
        if (*p == 'l' || *p == 'd') {
            if (!frames.push(value) || !append(list.get(), *p == 'l' ? rt.b_l : rt.b_d)) {
                return false;
            }
            ++p;
            continue;
        }
        if (*p == 'i') {
            const char* stop = static_cast<const char*>(std::memchr(p, 'e', end - p));
            if (!stop) {
                return inconsistent();
            }
            Ref digits(PyBytes_FromStringAndSize(p + 1, stop - p - 1));
            if (!append(list.get(), rt.b_i) || !append(list.get(), digits.get()) ||
                !append(list.get(), rt.b_e)) {
                return false;
            }
            p = stop + 1;
            continue;
        }
        const char* colon = static_cast<const char*>(std::memchr(p, ':', end - p));
        if (!colon) {
            return inconsistent();
        }
        Py_ssize_t n = 0;
        for (const char* q = p; q < colon; ++q) {
            n = n * 10 + (*q - '0');
        }
        Ref digits(PyBytes_FromStringAndSize(p, colon - p));
        Ref piece;
        p = colon + 1;
        if (next_spliced < n_spliced_ && spliced_[next_spliced].at == p - data_) {
            // A long value, left out of the kept bytes: the object that was written.
            piece = Ref::borrow(spliced_[next_spliced++].value);
        } else {
            piece = Ref(PyBytes_CheckExact(value) && PyBytes_GET_SIZE(value) == n
                            ? Py_NewRef(value)
                            : PyBytes_FromStringAndSize(p, n));
            p += n;
        }
        if (!append(list.get(), digits.get()) || !append(list.get(), rt.b_colon) ||
            !append(list.get(), piece.get())) {
            return false;
        }
    }
    list_ = list.release();
    for (Py_ssize_t i = 0; i < n_spliced_; ++i) {
        Py_DECREF(spliced_[i].value);
    }
    n_spliced_ = spliced_size_ = 0;
    Py_CLEAR(bytes_);
    data_ = inline_;
    size_ = 0;
    capacity_ = sizeof inline_;
    return true;
}

}  // namespace vorlaken::encoder
