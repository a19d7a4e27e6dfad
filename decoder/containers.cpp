// The container readers and the dispatch of every element through the reader table. Each global
// is read at the moment of use, so a caller's change applies from the next element on.
#include <initializer_list>
#include <limits>
#include <utility>

#include "../module/binding.hpp"
#include "../module/calls.hpp"
#include "input.hpp"
#include "reading.hpp"

namespace vorlaken::decoder {

namespace {

bool read_own(Site site, PyObject* x, int32_t f, Token& out) {
    DirectCall call;
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
bool next_offset(const Token& t, int32_t* out) {
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

// One list element or dictionary value at f, dispatched on its first byte; *next is its end.
bool read_element(PyObject* x, int32_t f, Token& out, int32_t* next) {
    return read_token(x, f, out) && next_offset(out, next);
}

// The loop both containers share: entries up to the end marker, each read by read_entry, which
// moves the offset past it.
template <class ReadEntry>
bool read_entries(PyObject* x, int32_t f, Ref container, Token& out, ReadEntry read_entry) {
    if (!container || !first_position(x, f, &f)) {
        return false;
    }
    for (;;) {
        const int more = more_items(x, f);
        if (more < 0) {
            return false;
        }
        if (!more) {
            break;
        }
        if (!read_entry(container.get(), f)) {
            return false;
        }
    }
    out.value = std::move(container);
    out.end = int64_t{f} + 1;
    return true;
}

bool list_token(PyObject* x, int32_t f, Token& out) {
    return read_entries(x, f, Ref(PyList_New(0)), out, [x](PyObject* list, int32_t& pos) {
        Token element;
        return read_element(x, pos, element, &pos) && PyList_Append(list, element.value.get()) == 0;
    });
}

bool dict_token(PyObject* x, int32_t f, Token& out) {
    Ref cls(load_global(rt.id_OrderedDict));
    Ref mapping(cls ? PyObject_CallNoArgs(cls.get()) : nullptr);
    return read_entries(x, f, std::move(mapping), out, [x](PyObject* dict, int32_t& pos) {
        // Keys are read as byte strings whatever their first byte, bypassing the table.
        Ref key_reader(load_function(Site::decode_string));
        Token key, value;
        return key_reader && call_reader(key_reader.get(), x, pos, key) && next_offset(key, &pos) &&
               read_element(x, pos, value, &pos) &&
               PyObject_SetItem(dict, key.value.get(), value.value.get()) == 0;
    });
}

}  // namespace

bool read_token(PyObject* x, int32_t f, Token& out) {
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
            return read_own(site, x, f, out);
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
