// The container writers. Elements and values go through the dispatcher `encode`, read at each
// element; dictionary keys are written here, never through the writer table.
#include "../module/calls.hpp"
#include "../module/functions.hpp"
#include "encoder.hpp"
#include "pieces.hpp"

namespace vorlaken::encoder {

namespace {

// encode(value, r), with encode read at this moment; the result is dropped.
bool encode_item(PyObject* value, PyObject* r) {
    Ref dispatcher(load_global(rt.function_name[static_cast<int>(Site::encode)]));
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
