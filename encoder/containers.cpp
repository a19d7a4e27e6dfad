// The container writers. Elements and values go through the dispatcher `encode`, read at each
// element; dictionary keys are written here, never through the writer table.
#include <algorithm>
#include <cstring>

#include "../module/calls.hpp"
#include "../module/functions.hpp"
#include "encoder.hpp"
#include "pieces.hpp"

namespace vorlaken::encoder {

namespace {

// encode(value, r), with encode read at this moment; the result is dropped.
bool encode_item(PyObject* value, PyObject* r) {
    Ref dispatcher(load_function(Site::encode));
    Ref result(dispatcher ? call_function(dispatcher.get(), value, r) : nullptr);
    return static_cast<bool>(result);
}

bool write_elements(PyObject* x, PyObject* r) {
    if (PyList_CheckExact(x)) {
        // The length is read again at each step: elements added meanwhile are written too.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(x); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(x, i));
            if (!encode_item(item.get(), r)) {
                return false;
            }
        }
        return true;
    }
    if (PyTuple_CheckExact(x)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(x); ++i) {
            if (!encode_item(PyTuple_GET_ITEM(x, i), r)) {
                return false;
            }
        }
        return true;
    }
    Ref it(PyObject_GetIter(x));
    if (!it) {
        return false;
    }
    while (Ref item{PyIter_Next(it.get())}) {
        if (!encode_item(item.get(), r)) {
            return false;
        }
    }
    return !PyErr_Occurred();
}

bool write_list(PyObject* x, PyObject* r) {
    if (r == Py_None) {
        no_piece_list("append");
        return false;
    }
    return PyList_Append(r, rt.b_l) == 0 && write_elements(x, r) && PyList_Append(r, rt.b_e) == 0;
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

// The items of an exact dict or OrderedDict whose keys are all exact bytes or all exact str, in
// key order. Such keys are distinct and compare without running any code, so sorting the keys
// alone gives the order the list sort gives the (key, value) pairs, whatever order the mapping
// keeps them in, and nothing needs the pairs as tuples.
class PlainItems {
  public:
    PlainItems() = default;
    PlainItems(const PlainItems&) = delete;
    PlainItems& operator=(const PlainItems&) = delete;
    ~PlainItems() {
        for (Py_ssize_t i = 0; i < n_; ++i) {
            Py_DECREF(items_[i].key);
            Py_DECREF(items_[i].value);
        }
        PyMem_Free(items_);
    }

    // 1 when x qualifies and its items are taken, 0 when it does not, -1 with an exception set.
    int take(PyObject* x) {
        if (!PyDict_CheckExact(x) && !PyODict_CheckExact(x)) {
            return 0;
        }
        const Py_ssize_t size = PyDict_GET_SIZE(x);
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        PyTypeObject* kind = nullptr;
        while (PyDict_Next(x, &pos, &key, &value)) {
            kind = kind ? kind : Py_TYPE(key);
            if (Py_TYPE(key) != kind || (kind != &PyBytes_Type && kind != &PyUnicode_Type)) {
                return 0;
            }
        }
        items_ = size ? PyMem_New(Item, size) : nullptr;
        if (size && !items_) {
            PyErr_NoMemory();
            return -1;
        }
        pos = 0;
        while (PyDict_Next(x, &pos, &key, &value)) {
            items_[n_++] = {Py_NewRef(key), Py_NewRef(value)};
        }
        if (kind == &PyBytes_Type) {
            std::sort(items_, items_ + n_, [](const Item& a, const Item& b) {
                const Py_ssize_t la = PyBytes_GET_SIZE(a.key), lb = PyBytes_GET_SIZE(b.key);
                const int c = std::memcmp(PyBytes_AS_STRING(a.key), PyBytes_AS_STRING(b.key),
                                          static_cast<size_t>(std::min(la, lb)));
                return c < 0 || (c == 0 && la < lb);
            });
        } else {
            std::sort(items_, items_ + n_, [](const Item& a, const Item& b) {
                return PyUnicode_Compare(a.key, b.key) < 0;
            });
        }
        return 1;
    }

    Py_ssize_t size() const { return n_; }
    PyObject* key(Py_ssize_t i) const { return items_[i].key; }
    PyObject* value(Py_ssize_t i) const { return items_[i].value; }

  private:
    struct Item {
        PyObject* key;
        PyObject* value;
    };
    Item* items_ = nullptr;
    Py_ssize_t n_ = 0;
};

bool write_key(PyObject* k, PyObject* r) {
    Ref key(as_bytes(k));
    return key && extend_with_length(r, key.get());
}

bool write_dict(PyObject* x, PyObject* r) {
    if (r == Py_None) {
        no_piece_list("append");
        return false;
    }
    if (PyList_Append(r, rt.b_d) < 0) {
        return false;
    }
    PlainItems plain;
    const int taken = plain.take(x);
    if (taken) {
        for (Py_ssize_t i = 0; taken > 0 && i < plain.size(); ++i) {
            if (!write_key(plain.key(i), r) || !encode_item(plain.value(i), r)) {
                return false;
            }
        }
        return taken > 0 && PyList_Append(r, rt.b_e) == 0;
    }
    Ref item_list(sorted_items(x));
    if (!item_list) {
        return false;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(item_list.get()); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(item_list.get(), i));
        Ref k, v;
        if (!unpack_pair(item.get(), k, v) || !write_key(k.get(), r) || !encode_item(v.get(), r)) {
            return false;
        }
    }
    return PyList_Append(r, rt.b_e) == 0;
}

}  // namespace

PyObject* encode_list(PyObject* x, PyObject* r) {
    return done(write_list(x, r), Site::encode_list);
}

PyObject* encode_dict(PyObject* x, PyObject* r) {
    return done(write_dict(x, r), Site::encode_dict);
}

}  // namespace vorlaken::encoder
