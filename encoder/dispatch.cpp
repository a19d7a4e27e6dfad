// The dispatcher `encode`, which picks a value's writer from the writer table, and `bencode`,
// which joins the pieces of a whole value.
#include <cstdint>
#include <cstring>

#include "../module/calls.hpp"
#include "../module/functions.hpp"
#include "encoder.hpp"
#include "pieces.hpp"

namespace vorlaken::encoder {

namespace {

// The writer of the first key of a dict table that v is an instance of, or null (with or
// without an exception set).
PyObject* find_in_dict(PyObject* table, PyObject* v) {
    const Py_ssize_t size = PyDict_GET_SIZE(table);
    Py_ssize_t pos = 0;
    PyObject *key, *writer;
    for (;;) {
        if (PyDict_GET_SIZE(table) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return nullptr;
        }
        if (!PyDict_Next(table, &pos, &key, &writer)) {
            return nullptr;
        }
        // An instance check may run Python code that changes the table.
        Ref k = Ref::borrow(key), w = Ref::borrow(writer);
        const int match = PyObject_IsInstance(v, k.get());
        if (match) {
            return match > 0 ? w.release() : nullptr;
        }
    }
}

// The same over the pairs of table.items(), for a table of another type.
PyObject* find_in_items(PyObject* table, PyObject* v) {
    Ref items(PyObject_CallMethodNoArgs(table, rt.id_items));
    if (!items) {
        return nullptr;
    }
    const bool by_index = PyList_CheckExact(items.get()) || PyTuple_CheckExact(items.get());
    Ref it(by_index ? nullptr : PyObject_GetIter(items.get()));
    if (!by_index && !it) {
        return nullptr;
    }
    for (Py_ssize_t i = 0;; ++i) {
        Ref item;
        if (by_index) {
            if (i >= Py_SIZE(items.get())) {
                return nullptr;
            }
            item = Ref::borrow(PyList_CheckExact(items.get()) ? PyList_GET_ITEM(items.get(), i)
                                                              : PyTuple_GET_ITEM(items.get(), i));
        } else {
            item = Ref(PyIter_Next(it.get()));
            if (!item) {
                return nullptr;
            }
        }
        Ref k, w;
        if (!unpack_pair(item.get(), k, w)) {
            return nullptr;
        }
        const int match = PyObject_IsInstance(v, k.get());
        if (match) {
            return match > 0 ? w.release() : nullptr;
        }
    }
}

// raise BTFailure("Unknown Type: %s" % tp)
void unknown_type(PyObject* tp) {
    Ref cls(load_global(rt.id_BTFailure));
    Ref message(cls ? PyUnicode_Format(rt.s_unknown_type, tp) : nullptr);
    Ref instance(message ? PyObject_CallOneArg(cls.get(), message.get()) : nullptr);
    if (instance) {
        raise_object(instance.get());
    }
}

// Answers to "which writer has this exact type" for a writer table that is a plain dict of
// classes. Looking a class whose metaclass is exactly type up in a dict whose keys are all such
// classes hashes pointers and compares identities: no code of a caller's runs, so while the
// table's version tag is unchanged the answer is too.
class TypeLookups {
  public:
    // 1 with *writer (borrowed from the table) when tp has an entry, 0 when it has none, -1 when
    // the table or tp is of a kind whose lookups must be made as they are.
    int find(PyObject* table, PyObject* tp, PyObject** writer) {
        if (!PyDict_CheckExact(table) || Py_TYPE(tp) != &PyType_Type) {
            return -1;
        }
        const uint64_t tag = dict_version(table);
        if (tag == 0) {
            return -1;
        }
        if (table != table_ || tag != tag_) {
            reset(table, tag);
        }
        if (!plain_) {
            return -1;
        }
        for (int i = 0; i < used_; ++i) {
            if (entries_[i].type == tp) {
                *writer = entries_[i].writer;
                return *writer != nullptr;
            }
        }
        *writer = PyDict_GetItem(table, tp);  // cannot fail or run code here
        entries_[next_] = {tp, *writer};
        next_ = (next_ + 1) % capacity;
        used_ = used_ < capacity ? used_ + 1 : used_;
        return *writer != nullptr;
    }

  private:
    void reset(PyObject* table, uint64_t tag) {
        table_ = table;
        tag_ = tag;
        used_ = next_ = 0;
        plain_ = true;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (plain_ && PyDict_Next(table, &pos, &key, &value)) {
            plain_ = Py_TYPE(key) == &PyType_Type;
        }
    }

    static constexpr int capacity = 8;
    struct Entry {
        PyObject* type;    // compared only: valid while the table's tag is unchanged
        PyObject* writer;  // null: no entry
    };
    PyObject* table_ = nullptr;
    uint64_t tag_ = 0;
    bool plain_ = false;
    Entry entries_[capacity] = {};
    int used_ = 0;
    int next_ = 0;
};

TypeLookups type_lookups;

PyObject* dispatch(PyObject* v, PyObject* r) {
    // Held: code run by the lookups may change v's class.
    Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(v)));
    PyObject* tp = type.get();
    Ref table(load_global(rt.id_encode_func));
    if (!table) {
        return nullptr;
    }
    PyObject* found;
    const int hit = type_lookups.find(table.get(), tp, &found);
    const int known = hit >= 0 ? hit : PySequence_Contains(table.get(), tp);
    if (known < 0) {
        return nullptr;
    }
    if (known) {
        table = Ref(load_global(rt.id_encode_func));
        if (!table) {
            return nullptr;
        }
        Ref writer(type_lookups.find(table.get(), tp, &found) == 1
                       ? Py_NewRef(found)
                       : PyObject_GetItem(table.get(), tp));
        return writer ? call_function(writer.get(), v, r) : nullptr;
    }
    // No entry for the exact type: the first key that v is an instance of, in the table's order.
    table = Ref(load_global(rt.id_encode_func));
    if (!table) {
        return nullptr;
    }
    Ref writer(PyDict_CheckExact(table.get()) ? find_in_dict(table.get(), v)
                                              : find_in_items(table.get(), v));
    if (writer) {
        return call_function(writer.get(), v, r);
    }
    if (!PyErr_Occurred()) {
        unknown_type(tp);
    }
    return nullptr;
}

}  // namespace

PyObject* encode(PyObject* v, PyObject* r) {
    PyObject* result = dispatch(v, r);
    if (!result) {
        add_traceback(Site::encode);
    }
    return result;
}

namespace {

// b"".join(r). Pieces that are all exact bytes are copied straight into the result; anything
// else goes to the interpreter's join, which also gives its errors.
PyObject* join(PyObject* r) {
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

PyObject* bencode(PyObject*, PyObject* x) {
    Ref r(PyList_New(0));
    Ref dispatcher(r ? load_function(Site::encode) : nullptr);
    Ref result(dispatcher ? call_function(dispatcher.get(), x, r.get()) : nullptr);
    PyObject* joined = result ? join(r.get()) : nullptr;
    if (!joined) {
        add_traceback(Site::bencode);
    }
    return joined;
}

// encode_func = {int: encode_int, bytes: encode_string, str: encode_string, list: encode_list,
//                tuple: encode_list, dict: encode_dict, OrderedDict: encode_dict,
//                bool: encode_bool}
int build_writer_table() {
    const struct {
        PyObject* type;  // null: the global OrderedDict
        Site writer;
    } entries[] = {
        {reinterpret_cast<PyObject*>(&PyLong_Type), Site::encode_int},
        {reinterpret_cast<PyObject*>(&PyBytes_Type), Site::encode_string},
        {reinterpret_cast<PyObject*>(&PyUnicode_Type), Site::encode_string},
        {reinterpret_cast<PyObject*>(&PyList_Type), Site::encode_list},
        {reinterpret_cast<PyObject*>(&PyTuple_Type), Site::encode_list},
        {reinterpret_cast<PyObject*>(&PyDict_Type), Site::encode_dict},
        {nullptr, Site::encode_dict},
        {reinterpret_cast<PyObject*>(&PyBool_Type), Site::encode_bool},
    };
    Ref table(PyDict_New());
    if (!table) {
        return -1;
    }
    for (const auto& e : entries) {
        Ref key(e.type ? Py_NewRef(e.type) : load_global(rt.id_OrderedDict));
        Ref writer(key ? load_function(e.writer) : nullptr);
        if (!writer || PyDict_SetItem(table.get(), key.get(), writer.get()) < 0) {
            return -1;
        }
    }
    return store_global(rt.id_encode_func, table.get());
}

}  // namespace vorlaken::encoder
