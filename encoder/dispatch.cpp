// The dispatcher `encode`, which picks a value's writer from the writer table, and `bencode`,
// which joins the pieces of a whole value.
#include <cstdint>
#include <cstring>

#include "../module/binding.hpp"
#include "../module/calls.hpp"
#include "encoder.hpp"
#include "writing.hpp"

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

// The writers that a writer table held for the exact types the module writes, when it was last
// read. Looking a class whose metaclass is exactly type up in a dict whose keys are all such
// classes hashes pointers and compares identities: no code of a caller's runs, so the answers
// stand while the table is unchanged.
PyTypeObject* const known_types[8] = {&PyLong_Type, &PyBool_Type,  &PyBytes_Type, &PyUnicode_Type,
                                      &PyList_Type, &PyTuple_Type, &PyDict_Type,  &PyODict_Type};

Site own_site(PyObject* writer) {
    for (int i = static_cast<int>(Site::encode); i <= static_cast<int>(Site::encode_dict); ++i) {
        if (writer == rt.function_object[i]) {
            return static_cast<Site>(i);
        }
    }
    return Site::count_;
}

}  // namespace

int known_type(PyTypeObject* tp) {
    // The subclass flags narrow the type down to one or two candidates.
    const unsigned long flags = tp->tp_flags;
    int i = -1;
    if (flags & Py_TPFLAGS_LONG_SUBCLASS) {
        i = tp == &PyBool_Type ? 1 : 0;
    } else if (flags & Py_TPFLAGS_BYTES_SUBCLASS) {
        i = 2;
    } else if (flags & Py_TPFLAGS_UNICODE_SUBCLASS) {
        i = 3;
    } else if (flags & Py_TPFLAGS_LIST_SUBCLASS) {
        i = 4;
    } else if (flags & Py_TPFLAGS_TUPLE_SUBCLASS) {
        i = 5;
    } else if (flags & Py_TPFLAGS_DICT_SUBCLASS) {
        i = tp == &PyODict_Type ? 7 : 6;
    }
    return i >= 0 && known_types[i] == tp ? i : -1;
}

WriterProofState writer_state;

// Looking a class whose metaclass is exactly type up in a dict whose keys are all such classes
// hashes pointers and compares identities: no code of a caller's runs, so the answers stand while
// the table and the namespace are unchanged.
const WriterProof* read_proof() {
    WriterProofState& s = writer_state;
    s.plain = false;
    PyObject* table = s.stamps.take(&Globals::encode_func);
    if (!table) {
        return nullptr;
    }
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(table, &pos, &key, &value)) {
        if (Py_TYPE(key) != &PyType_Type) {
            return nullptr;
        }
    }
    WriterProof& proof = s.proof;
    for (int i = 0; i < 8; ++i) {
        PyObject* writer = PyDict_GetItem(table, reinterpret_cast<PyObject*>(known_types[i]));
        proof.site[i] = writer ? own_site(writer) : Site::count_;
    }
    proof.encode_is_own = globals.encode_is_own;
    proof.encode_int_is_own = globals.encode_int_is_own;
    s.plain = true;
    return &proof;
}

namespace {

PyObject* dispatch(PyObject* v, Pieces& r) {
    // While the namespace and a plain table are unchanged, the table's answer for the exact types
    // the module writes is known: the containment test and the subscript, which would have run
    // nothing of a caller's, give the module's own writer, which runs directly.
    if (const WriterProof* proof = writer_proof(r)) {
        if (const int i = known_type(Py_TYPE(v)); i >= 0 && proof->site[i] != Site::count_) {
            return call_own(proof->site[i], v, r);
        }
    }
    // Lookups in a table of any other kind, and instance checks, may run code of a caller's.
    if (!r.list()) {
        return nullptr;
    }
    // Held: code run by the lookups may change v's class.
    Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(v)));
    PyObject* tp = type.get();
    Ref table(load_global(rt.id_encode_func));
    const int known = table ? PySequence_Contains(table.get(), tp) : -1;
    if (known < 0) {
        return nullptr;
    }
    if (known) {
        table = Ref(load_global(rt.id_encode_func));
        Ref writer(table ? PyObject_GetItem(table.get(), tp) : nullptr);
        return writer ? call_writer(writer.get(), v, r) : nullptr;
    }
    // No entry for the exact type: the first key that v is an instance of, in the table's order.
    table = Ref(load_global(rt.id_encode_func));
    if (!table) {
        return nullptr;
    }
    Ref writer(PyDict_CheckExact(table.get()) ? find_in_dict(table.get(), v)
                                              : find_in_items(table.get(), v));
    if (writer) {
        return call_writer(writer.get(), v, r);
    }
    if (!PyErr_Occurred()) {
        unknown_type(tp);
    }
    return nullptr;
}

// The steps of a module's writer after argument binding: the conversion of encode_int's x, then
// the type test of r, then the body.
bool run_own(Site site, PyObject* v, Pieces& r) {
    Ref x;
    if (site == Site::encode_int) {
        x = Ref(to_integer(v));
        if (!x) {
            add_traceback(Site::encode_int);
            return false;
        }
        v = x.get();
    }
    if (!r.passes_type_test()) {
        return false;
    }
    switch (site) {
        case Site::encode_int:
            return encode_int_body(v, r);
        case Site::encode_bool:
            return encode_bool_body(v, r);
        case Site::encode_string:
            return encode_string_body(v, r);
        case Site::encode_list:
            return encode_list_body(v, r);
        default:
            return encode_dict_body(v, r);
    }
}

}  // namespace

PyObject* call_own(Site own, PyObject* v, Pieces& r) {
    DirectCall call(r.ts());
    if (!call.ok()) {
        return nullptr;
    }
    if (own == Site::encode) {
        return encode_body(v, r);
    }
    return run_own(own, v, r) ? Py_NewRef(Py_None) : nullptr;
}

PyObject* call_writer(PyObject* writer, PyObject* v, Pieces& r) {
    if (const Site own = own_site(writer); own != Site::count_) {
        return call_own(own, v, r);
    }
    PyObject* list = r.list();
    return list ? call_generic(writer, v, list) : nullptr;
}

PyObject* encode_body(PyObject* v, Pieces& r) {
    PyObject* result = dispatch(v, r);
    if (!result) {
        add_traceback(Site::encode);
    }
    return result;
}

PyObject* encode(PyObject* v, PyObject* r) {
    Pieces pieces(r);
    return encode_body(v, pieces);
}

PyObject* bencode(PyObject*, PyObject* x) {
    Pieces r(Pieces::Own{}, x);
    PyObject* joined = encode_item(x, r) ? r.join() : nullptr;
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
