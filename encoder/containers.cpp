// The container writers. Elements and values go through the dispatcher `encode`, read at each
// element; dictionary keys are written here, never through the writer table.
#include <algorithm>
#include <cstring>

#include "../module/calls.hpp"
#include "encoder.hpp"
#include "writing.hpp"

namespace vorlaken::encoder {

void PlainItems::release() {
    for (Py_ssize_t i = 0; i < n_; ++i) {
        Py_DECREF(items_[i].key);
        Py_DECREF(items_[i].value);
    }
    n_ = 0;
}

PlainItems::~PlainItems() {
    release();
    if (items_ != inline_) {
        PyMem_Free(items_);
    }
}

int PlainItems::take(PyObject* x) {
    if (!PyDict_CheckExact(x) && !PyODict_CheckExact(x)) {
        return 0;
    }
    const Py_ssize_t size = PyDict_GET_SIZE(x);
    if (size > static_cast<Py_ssize_t>(sizeof inline_ / sizeof inline_[0])) {
        items_ = PyMem_New(Item, size);
        if (!items_) {
            items_ = inline_;
            PyErr_NoMemory();
            return -1;
        }
    }
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    PyTypeObject* kind = nullptr;
    while (PyDict_Next(x, &pos, &key, &value)) {
        kind = kind ? kind : Py_TYPE(key);
        if (Py_TYPE(key) != kind || (kind != &PyBytes_Type && kind != &PyUnicode_Type)) {
            release();  // the general path must find the references as they were
            return 0;
        }
        items_[n_++] = {Py_NewRef(key), Py_NewRef(value)};
    }
    // A mapping that was read from bencode, or built in order, is sorted already.
    const auto sort = [this](auto less) {
        if (!std::is_sorted(items_, items_ + n_, less)) {
            std::sort(items_, items_ + n_, less);
        }
    };
    if (kind == &PyBytes_Type) {
        sort([](const Item& a, const Item& b) {
            const Py_ssize_t la = PyBytes_GET_SIZE(a.key), lb = PyBytes_GET_SIZE(b.key);
            const int c = std::memcmp(PyBytes_AS_STRING(a.key), PyBytes_AS_STRING(b.key),
                                      static_cast<size_t>(std::min(la, lb)));
            return c < 0 || (c == 0 && la < lb);
        });
    } else {
        sort([](const Item& a, const Item& b) { return PyUnicode_Compare(a.key, b.key) < 0; });
    }
    return 1;
}

bool encode_item(PyObject* v, Pieces& r) {
    // The module's own dispatcher, as the namespace holds it now, runs directly.
    if (const WriterProof* proof = writer_proof(r); proof && proof->encode_is_own) [[likely]] {
        Ref result(call_own(Site::encode, v, r));
        return static_cast<bool>(result);
    }
    if (!r.list()) {
        return false;
    }
    Ref dispatcher(load_function(Site::encode));
    Ref result(dispatcher ? call_writer(dispatcher.get(), v, r) : nullptr);
    return static_cast<bool>(result);
}

namespace {

// encode(v, r) for one element or value, as the namespace and the writer table hold them now.
// Where both the dispatcher and a scalar's writer are the module's own, their two nested calls
// need no bookkeeping when neither can fail: the recursion counter has room for both levels, and
// the container's own stack check covers the scalar writer's few frames. A failure of the writer
// gets the same two traceback entries, its own and the dispatcher's.
bool write_element(PyObject* v, Pieces& r) {
    const WriterProof* proof = writer_proof(r);
    if (proof && proof->encode_is_own) [[likely]] {
        const int i = known_type(Py_TYPE(v));
        const Site own = i >= 0 ? proof->site[i] : Site::count_;
        // encode_int converts its argument first; only an exact int is its own conversion.
        if ((own == Site::encode_string || (own == Site::encode_int && i == 0)) &&
            recursion_remaining(r.ts()) > 1) [[likely]] {
            if (own == Site::encode_string ? write_string(v, r) : write_int(v, r)) [[likely]] {
                return true;
            }
            add_traceback(own);
            add_traceback(Site::encode);
            return false;
        }
    }
    return encode_item(v, r);
}

bool write_elements(PyObject* x, Pieces& r) {
    if (PyList_CheckExact(x)) {
        // The length is read again at each step: elements added meanwhile are written too.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(x); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(x, i));
            if (!write_element(item.get(), r)) {
                return false;
            }
        }
        return true;
    }
    if (PyTuple_CheckExact(x)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(x); ++i) {
            if (!write_element(PyTuple_GET_ITEM(x, i), r)) {
                return false;
            }
        }
        return true;
    }
    // Any other iterable iterates by its own code.
    if (!r.list()) {
        return false;
    }
    Ref it(PyObject_GetIter(x));
    if (!it) {
        return false;
    }
    while (Ref item{PyIter_Next(it.get())}) {
        if (!write_element(item.get(), r)) {
            return false;
        }
    }
    return !PyErr_Occurred();
}

bool write_list(PyObject* x, Pieces& r) {
    if (r.is_none()) {
        no_piece_list("append");
        return false;
    }
    return r.marker(rt.b_l) && write_elements(x, r) && r.marker(rt.b_e);
}

// list(x.items()), sorted by the interpreter's list sort.
PyObject* sorted_items(PyObject* x) {
    Ref items;
    if (PyDict_CheckExact(x)) {
        items = Ref(PyDict_Items(x));
    } else {
        Ref view(PyObject_CallMethodNoArgs(x, rt.id_items));
        items = Ref(view ? PySequence_List(view.get()) : nullptr);
    }
    if (!items || PyList_Sort(items.get()) < 0) {
        return nullptr;
    }
    return items.release();
}

bool write_key(PyObject* k, Pieces& r) {
    if (PyBytes_CheckExact(k)) {
        return r.string_token(k, PyBytes_AS_STRING(k), PyBytes_GET_SIZE(k));
    }
    if (PyUnicode_CheckExact(k) && PyUnicode_IS_COMPACT_ASCII(k) && r.kept()) {
        return r.string_token(nullptr, static_cast<const char*>(PyUnicode_DATA(k)),
                              PyUnicode_GET_LENGTH(k));
    }
    Ref key(as_bytes(k));
    if (!key) {
        return false;
    }
    if (PyBytes_CheckExact(key.get())) {
        return r.string_token(key.get(), PyBytes_AS_STRING(key.get()), PyBytes_GET_SIZE(key.get()));
    }
    const Py_ssize_t length = PyObject_Size(key.get());
    return length >= 0 && r.string_piece(key.get(), length);
}

bool write_dict(PyObject* x, Pieces& r) {
    if (r.is_none()) {
        no_piece_list("append");
        return false;
    }
    if (!r.marker(rt.b_d)) {
        return false;
    }
    PlainItems plain;
    const int taken = plain.take(x);
    if (taken < 0) {
        return false;
    }
    if (taken) {
        for (Py_ssize_t i = 0; i < plain.size(); ++i) {
            if (!write_key(plain.key(i), r) || !write_element(plain.value(i), r)) {
                return false;
            }
        }
        return r.marker(rt.b_e);
    }
    // items(), the sort's comparisons and the items' unpacking may all run code of a caller's.
    if (!r.list()) {
        return false;
    }
    Ref item_list(sorted_items(x));
    if (!item_list) {
        return false;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(item_list.get()); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(item_list.get(), i));
        Ref k, v;
        if (!unpack_pair(item.get(), k, v) || !write_key(k.get(), r) ||
            !write_element(v.get(), r)) {
            return false;
        }
    }
    return r.marker(rt.b_e);
}

}  // namespace

bool encode_list_body(PyObject* x, Pieces& r) {
    if (!write_list(x, r)) {
        add_traceback(Site::encode_list);
        return false;
    }
    return true;
}

bool encode_dict_body(PyObject* x, Pieces& r) {
    if (!write_dict(x, r)) {
        add_traceback(Site::encode_dict);
        return false;
    }
    return true;
}

PyObject* encode_list(PyObject* x, PyObject* r) {
    Pieces pieces(r);
    return encode_list_body(x, pieces) ? Py_NewRef(Py_None) : nullptr;
}

PyObject* encode_dict(PyObject* x, PyObject* r) {
    Pieces pieces(r);
    return encode_dict_body(x, pieces) ? Py_NewRef(Py_None) : nullptr;
}

}  // namespace vorlaken::encoder
