// The container readers and the dispatch of every element through the reader table. Each global
// is read at the moment of use, so a caller's change applies from the next element on.
#include <cstring>
#include <initializer_list>
#include <limits>
#include <utility>

#include "../module/binding.hpp"
#include "../module/calls.hpp"
#include "canonical.hpp"
#include "input.hpp"
#include "reading.hpp"

namespace vorlaken::decoder {

namespace {

[[gnu::always_inline]] inline bool read_own(Site site, PyObject* x, int32_t f, Token& out,
                                            PyThreadState* ts) {
    DirectCall call(ts);
    if (!call.ok()) {
        return false;
    }
    switch (site) {
        case Site::decode_int:
            return read_int(x, f, out);
        case Site::decode_string:
            return read_string(x, f, out);
        case Site::decode_list:
            return read_list(x, f, out);
        default:
            return read_dict(x, f, out);
    }
}

// The end offset of a token read inside a container, as a 32-bit offset.
[[gnu::always_inline]] inline bool next_offset(const Token& t, int32_t* out) {
    if (t.end_object) {
        return to_int32(t.end_object.get(), out);
    }
    if (t.end < std::numeric_limits<int32_t>::min() ||
        t.end > std::numeric_limits<int32_t>::max()) {
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int");
        return false;
    }
    *out = static_cast<int32_t>(t.end);
    return true;
}

// The offset after an opening byte at f. The top of the 32-bit range has nothing after it that a
// 32-bit offset could reach: reading there fails as reading past the end does.
bool first_position(PyObject* x, int32_t f, int32_t* out) {
    if (f == std::numeric_limits<int32_t>::max()) {
        if (byte_at(x, int64_t{f} + 1) >= 0) {  // an input of more than 2 GiB
            PyErr_SetString(PyExc_IndexError, "index out of range");
        }
        return false;
    }
    *out = f + 1;
    return true;
}

// 1 while the byte at f is not END_CHAR (as Python's != and truth test decide), 0 at the end
// marker, -1 with an exception set.
int more_items(PyObject* x, int32_t f) {
    const int b = byte_at(x, f);
    if (b < 0) {
        return -1;
    }
    // An exact int compares with the byte by value: the same answer as the lookup and the
    // comparison below, which run nothing of a caller's for it.
    if (const ReaderProof* proof = reader_proof(); proof && proof->end_char >= 0) [[likely]] {
        return b != proof->end_char;
    }
    Ref end(load_global(rt.id_END_CHAR));
    if (!end) {
        return -1;
    }
    if (PyLong_CheckExact(end.get())) {
        int overflow;
        const long v = PyLong_AsLongAndOverflow(end.get(), &overflow);
        return overflow || v != b;
    }
    Ref byte(PyLong_FromLong(b));
    Ref differs(byte ? PyObject_RichCompare(byte.get(), end.get(), Py_NE) : nullptr);
    return differs ? PyObject_IsTrue(differs.get()) : -1;
}

// The token at f read by the module's own reader that the proof names for its first byte.
// Reading an integer or a byte string nests no further call, so where the recursion counter has
// room for its level the call needs no bookkeeping (the container's own stack check covers its
// few frames); a failure gets the reader's traceback entry all the same.
bool read_proven(Site site, PyObject* x, int32_t f, Token& out, PyThreadState* ts) {
    if (recursion_remaining(ts) > 0) [[likely]] {
        if (site == Site::decode_int) {
            return read_int(x, f, out);
        }
        if (site == Site::decode_string) {
            return read_string(x, f, out);
        }
    }
    return read_own(site, x, f, out, ts);
}

// One list element or dictionary value at f, dispatched on its first byte; *next is its end.
// A caller that has just read the proof and the byte passes them on (no code can have run since);
// otherwise proof is null and both are read here.
[[gnu::always_inline]] inline bool read_element(PyObject* x, int32_t f, const ReaderProof* proof,
                                                int b, Token& out, int32_t* next,
                                                PyThreadState* ts) {
    if (!proof) {
        proof = reader_proof();
        b = proof ? byte_at(x, f) : -1;
        if (proof && b < 0) {
            return false;
        }
    }
    const bool ok = proof && proof->own[b] != Site::count_
                        ? read_proven(proof->own[b], x, f, out, ts)
                        : read_token(x, f, out);
    return ok && next_offset(out, next);
}

// A scalar element at f whose first byte b the proof gives to the module's own integer or string
// reader, when it is in canonical form: read here without the reader's call, as read_proven would
// read it (the same value and end; nothing of a caller's runs in either). 1 with *value and *next
// set, 0 where read_element must read it, -1 on failure with the reader's traceback entry.
// The caller passes a proof only for an exact bytes object of at most 2 GiB with f inside it.
[[gnu::always_inline]] inline int quick_scalar(PyObject* x, int32_t f, const ReaderProof* proof,
                                               int b, PyThreadState* ts, PyObject** value,
                                               int32_t* next) {
    const Site site = proof->own[b];
    if ((site != Site::decode_int && site != Site::decode_string) || recursion_remaining(ts) <= 0)
        [[unlikely]] {
        return 0;
    }
    const char* data = PyBytes_AS_STRING(x);
    const char* limit = data + PyBytes_GET_SIZE(x);
    const char* end;
    *value = site == Site::decode_int ? canonical_int(data + f + 1, limit, &end)
                                      : canonical_bytes<false>(data + f, limit, &end);
    if (!*value) {
        if (!PyErr_Occurred()) {
            return 0;
        }
        add_traceback(site);
        return -1;
    }
    *next = static_cast<int32_t>(end - data);
    return 1;
}

// The loop both containers share: entries up to the end marker, each read by read_entry, which
// moves the offset past it. read_entry gets the proof and the entry's first byte while nothing of
// a caller's can have run since the proof was read, and clears the proof when its own read may
// have run some (a caller's reader, a nested container, whose allocation may collect garbage and
// so run a finaliser, or a store into a mapping of a caller's class): the proof is then read
// afresh. Reading a scalar in canonical form and storing it into an exact list, dict or
// OrderedDict allocate nothing that collects garbage and call nothing of a caller's.
template <class Container, class ReadEntry>
bool read_entries(PyObject* x, int32_t f, Container& container, Token& out, ReadEntry read_entry) {
    if (!container.ok() || !first_position(x, f, &f)) {
        return false;
    }
    // Any offset inside an exact bytes object of at most 2 GiB fits 32 bits.
    const bool direct =
        PyBytes_CheckExact(x) && PyBytes_GET_SIZE(x) <= std::numeric_limits<int32_t>::max();
    const ReaderProof* proof = nullptr;
    int end_char = -1;  // the proof's, where the end marker can be compared with bytes here
    for (;;) {
        if (!proof) {
            proof = reader_proof();
            end_char = direct && proof ? proof->end_char : -1;
        }
        int b = -1;
        if (end_char >= 0 && f >= 0 && f < PyBytes_GET_SIZE(x)) [[likely]] {
            // As more_items decides it for an exact int END_CHAR.
            b = static_cast<unsigned char>(PyBytes_AS_STRING(x)[f]);
            if (b == end_char) {
                break;
            }
        } else {
            const int more = more_items(x, f);
            if (more < 0) {
                return false;
            }
            if (!more) {
                break;
            }
            proof = nullptr;  // the comparison may have run code of a caller's
        }
        if (!read_entry(container, f, proof, b)) {
            return false;
        }
    }
    out.value = container.finish();
    out.end = int64_t{f} + 1;
    return static_cast<bool>(out.value);
}

// A list's elements, held until its end marker so that the list is made once, at its size. No
// code of a caller's could see the list before then: it is handed to none while it is read.
class Elements {
  public:
    Elements() = default;
    Elements(const Elements&) = delete;
    Elements& operator=(const Elements&) = delete;
    ~Elements() {
        for (Py_ssize_t i = 0; i < n_; ++i) {
            Py_DECREF(items_[i]);
        }
        if (items_ != inline_) {
            PyMem_Free(items_);
        }
    }

    static bool ok() { return true; }

    // Takes the reference, also when it fails.
    bool add(PyObject* item) {
        if (n_ == capacity_ && !grow()) [[unlikely]] {
            Py_DECREF(item);
            return false;
        }
        items_[n_++] = item;
        return true;
    }

    Ref finish() {
        Ref list(PyList_New(n_));
        if (list) {
            for (Py_ssize_t i = 0; i < n_; ++i) {
                PyList_SET_ITEM(list.get(), i, items_[i]);
            }
            n_ = 0;
        }
        return list;
    }

  private:
    bool grow() {
        constexpr Py_ssize_t most = PY_SSIZE_T_MAX / 2 / static_cast<Py_ssize_t>(sizeof(PyObject*));
        if (capacity_ > most) {
            PyErr_NoMemory();
            return false;
        }
        const Py_ssize_t capacity = capacity_ * 2;
        auto* items = static_cast<PyObject**>(PyMem_Malloc(capacity * sizeof(PyObject*)));
        if (!items) {
            PyErr_NoMemory();
            return false;
        }
        std::memcpy(items, items_, n_ * sizeof(PyObject*));
        if (items_ != inline_) {
            PyMem_Free(items_);
        }
        items_ = items;
        capacity_ = capacity;
        return true;
    }

    PyObject* inline_[8];
    PyObject** items_ = inline_;
    Py_ssize_t n_ = 0;
    Py_ssize_t capacity_ = 8;
};

// A mapping made before its first entry is read (its class is a global that a caller may have
// rebound, and calling it may run a caller's code).
class Entries {
  public:
    explicit Entries(PyObject* mapping) : mapping_(mapping) {}
    bool ok() const { return static_cast<bool>(mapping_); }
    PyObject* get() const { return mapping_.get(); }
    Ref finish() { return std::move(mapping_); }

  private:
    Ref mapping_;
};

bool list_token(PyObject* x, int32_t f, Token& out) {
    PyThreadState* ts = DecodeCall::thread();
    Elements elements;
    return read_entries(
        x, f, elements, out,
        [x, ts](Elements& list, int32_t& pos, const ReaderProof*& proof, int b) {
            if (proof) {
                PyObject* value;
                if (const int quick = quick_scalar(x, pos, proof, b, ts, &value, &pos)) {
                    return quick > 0 && list.add(value);
                }
            }
            Token element;
            const bool ok = read_element(x, pos, proof, b, element, &pos, ts) &&
                            list.add(element.value.release());
            proof = nullptr;
            return ok;
        });
}

// OrderedDict(), and mapping[key] = value, through the class's own C functions when OrderedDict is
// collections.OrderedDict or dict itself: what the generic call and store do for those classes.
PyObject* new_mapping(PyThreadState* ts) {
    if (const Globals* g = current_globals()) [[likely]] {
        // Before 3.12 the interpreter's call of collections.OrderedDict counts a level of the
        // recursion limit while it runs (dict's own call does not): without room for it, the
        // call below raises as it would.
        if (g->ordered_dict == reinterpret_cast<PyObject*>(&PyODict_Type) &&
            (entry_counts_level || recursion_remaining(ts) > 0)) {
            return PyODict_New();
        }
        if (g->ordered_dict == reinterpret_cast<PyObject*>(&PyDict_Type)) {
            return PyDict_New();
        }
    }
    Ref cls(load_global(rt.id_OrderedDict));
    return cls ? PyObject_CallNoArgs(cls.get()) : nullptr;
}

int store(PyObject* mapping, PyObject* key, PyObject* value) {
    if (PyODict_CheckExact(mapping)) {
        return PyODict_SetItem(mapping, key, value);
    }
    if (PyDict_CheckExact(mapping)) {
        return PyDict_SetItem(mapping, key, value);
    }
    return PyObject_SetItem(mapping, key, value);
}

// The value and end offset of a token read inside a container.
bool take(Token& t, Ref* value, int32_t* next) {
    if (!next_offset(t, next)) {
        return false;
    }
    *value = std::move(t.value);
    return true;
}

// A key at f, read as byte strings are, whatever its first byte: by decode_string as the
// namespace holds it now, bypassing the table. *next is its end. True in *quiet when no code of a
// caller's ran.
bool read_dict_key(PyObject* x, int32_t f, const ReaderProof* proof, Ref* key, int32_t* next,
                   PyThreadState* ts, bool* quiet) {
    *quiet = false;
    if (!proof) {
        proof = reader_proof();
    }
    Token t;
    if (proof && proof->decode_string_is_own) [[likely]] {
        // As read_proven: a byte string's read nests no further call.
        if (recursion_remaining(ts) > 0) [[likely]] {
            *quiet = true;
            // A canonical key is read as read_key reads it, without the Token between.
            if (PyBytes_CheckExact(x) && f >= 0 && f < PyBytes_GET_SIZE(x) &&
                PyBytes_GET_SIZE(x) <= std::numeric_limits<int32_t>::max()) [[likely]] {
                const char* data = PyBytes_AS_STRING(x);
                const char* end;
                *key = Ref(canonical_bytes<true>(data + f, data + PyBytes_GET_SIZE(x), &end));
                if (*key) {
                    *next = static_cast<int32_t>(end - data);
                    return true;
                }
                if (PyErr_Occurred()) {
                    add_traceback(Site::decode_string);
                    return false;
                }
            }
            return read_key(x, f, t) && take(t, key, next);
        }
        DirectCall call(ts);
        if (!call.ok() || !read_key(x, f, t)) {
            return false;
        }
    } else {
        Ref key_reader(load_function(Site::decode_string));
        if (!key_reader || !call_reader(key_reader.get(), x, f, t)) {
            return false;
        }
    }
    return take(t, key, next);
}

bool dict_token(PyObject* x, int32_t f, Token& out) {
    PyThreadState* ts = DecodeCall::thread();
    Entries entries(new_mapping(ts));
    return read_entries(
        x, f, entries, out,
        [x, ts](Entries& mapping, int32_t& pos, const ReaderProof*& proof, int) {
            PyObject* dict = mapping.get();
            Ref key;
            bool quiet;
            if (!read_dict_key(x, pos, proof, &key, &pos, ts, &quiet)) {
                return false;
            }
            // After a quiet key read the proof stands, and the value's first byte is read here.
            int b = -1;
            if (quiet && proof) {
                b = byte_at(x, pos);
                if (b < 0) {
                    return false;
                }
                PyObject* value;
                if (const int quick = quick_scalar(x, pos, proof, b, ts, &value, &pos)) {
                    if (quick < 0) {
                        return false;
                    }
                    const int stored = store(dict, key.get(), value);
                    Py_DECREF(value);
                    if (!PyDict_CheckExact(dict) && !PyODict_CheckExact(dict)) {
                        proof = nullptr;  // the store ran the mapping's own __setitem__
                    }
                    return stored == 0;
                }
            }
            Token value;
            const bool ok = read_element(x, pos, quiet ? proof : nullptr, b, value, &pos, ts) &&
                            store(dict, key.get(), value.value.get()) == 0;
            proof = nullptr;
            return ok;
        });
}

}  // namespace

bool read_token(PyObject* x, int32_t f, Token& out) {
    // While the namespace and a plain table are unchanged, the table's answer for each byte is
    // known: the module's own reader runs without the lookup, which would have run nothing of a
    // caller's. Any other answer is left to the lookup below.
    if (const ReaderProof* proof = reader_proof()) {
        const int b = byte_at(x, f);
        if (b < 0) {
            return false;
        }
        if (proof->own[b] != Site::count_) {
            return read_own(proof->own[b], x, f, out, DecodeCall::thread());
        }
    }
    Ref table(load_global(rt.id_decode_func));
    if (!table) {
        return false;
    }
    const int b = byte_at(x, f);
    if (b < 0) {
        return false;
    }
    Ref key(PyLong_FromLong(b));
    Ref reader(key ? PyObject_GetItem(table.get(), key.get()) : nullptr);
    return reader && call_reader(reader.get(), x, f, out);
}

bool call_reader(PyObject* reader, PyObject* x, int32_t f, Token& out) {
    for (Site site :
         {Site::decode_string, Site::decode_int, Site::decode_list, Site::decode_dict}) {
        if (reader == rt.function_object[static_cast<int>(site)]) {
            return read_own(site, x, f, out, DecodeCall::thread());
        }
    }
    Ref offset(PyLong_FromLong(f));
    Ref result(offset ? call_generic(reader, x, offset.get()) : nullptr);
    return result && unpack_pair(result.get(), out.value, out.end_object);
}

bool read_list(PyObject* x, int32_t f, Token& out) {
    return traced<list_token, Site::decode_list>(x, f, out);
}

bool read_dict(PyObject* x, int32_t f, Token& out) {
    return traced<dict_token, Site::decode_dict>(x, f, out);
}

}  // namespace vorlaken::decoder
