// The init entry point and the start-up: version check, module creation, constants, and the
// module body that fills the namespace in its fixed order.
#include <initializer_list>
#include <utility>

#include "../decoder/decoder.hpp"
#include "../encoder/encoder.hpp"
#include "functions.hpp"
#include "runtime.hpp"

// A test build can claim to have been built for another interpreter version.
#ifndef VORLAKEN_CLAIMED_MAJOR
#define VORLAKEN_CLAIMED_MAJOR PY_MAJOR_VERSION
#define VORLAKEN_CLAIMED_MINOR PY_MINOR_VERSION
#endif

namespace vorlaken {

namespace {

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "vorlaken",
    .m_doc = nullptr,
    .m_size = -1,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

constexpr int api_version = 1013;

// Only the major digit and the first digit of the minor number are compared, as three-character
// texts: 3.10 and 3.12 both read "3.1".
int check_version() {
    char built[4], running[4];
    PyOS_snprintf(built, sizeof built, "%d.%d", VORLAKEN_CLAIMED_MAJOR, VORLAKEN_CLAIMED_MINOR);
    PyOS_snprintf(running, sizeof running, "%s", Py_GetVersion());
    if (built[0] == running[0] && built[2] == running[2]) {
        return 0;
    }
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compiletime version %s of module '%.100s' does not match runtime version %s",
                  built, module_def.m_name, running);
    return PyErr_WarnEx(nullptr, message, 1);
}

enum class Kind { bytes, text, identifier };

struct Constant {
    PyObject** slot;
    const char* text;
    Kind kind;
};

const Constant constants[] = {
    {&rt.b_e, "e", Kind::bytes},
    {&rt.b_l, "l", Kind::bytes},
    {&rt.b_d, "d", Kind::bytes},
    {&rt.b_i, "i", Kind::bytes},
    {&rt.b_minus, "-", Kind::bytes},
    {&rt.b_zero, "0", Kind::bytes},
    {&rt.b_colon, ":", Kind::bytes},
    {&rt.b_empty, "", Kind::bytes},
    {&rt.s_e, "e", Kind::text},
    {&rt.s_l, "l", Kind::text},
    {&rt.s_d, "d", Kind::text},
    {&rt.s_i, "i", Kind::text},
    {&rt.s_two, "2", Kind::text},
    {&rt.s_version, "1.0.0", Kind::text},
    {&rt.s_unknown_type, "Unknown Type: %s", Kind::text},
    {&rt.s_not_valid, "not a valid bencoded string", Kind::text},
    {&rt.s_data_after, "invalid bencoded value (data after valid prefix)", Kind::text},
    {&rt.id_vorlaken, "vorlaken", Kind::identifier},
    {&rt.id_builtins_attr, "__builtins__", Kind::identifier},
    {&rt.id_version_attr, "__version__", Kind::identifier},
    {&rt.id_test_attr, "__test__", Kind::identifier},
    {&rt.id_module_attr, "__module__", Kind::identifier},
    {&rt.id_qualname_attr, "__qualname__", Kind::identifier},
    {&rt.id_prepare_attr, "__prepare__", Kind::identifier},
    {&rt.id_sys, "sys", Kind::identifier},
    {&rt.id_version, "version", Kind::identifier},
    {&rt.id_IS_PY2, "IS_PY2", Kind::identifier},
    {&rt.id_collections, "collections", Kind::identifier},
    {&rt.id_ordereddict, "ordereddict", Kind::identifier},
    {&rt.id_OrderedDict, "OrderedDict", Kind::identifier},
    {&rt.id_END_CHAR, "END_CHAR", Kind::identifier},
    {&rt.id_BTFailure, "BTFailure", Kind::identifier},
    {&rt.id_index, "index", Kind::identifier},
    {&rt.id_decode_func, "decode_func", Kind::identifier},
    {&rt.id_encode_func, "encode_func", Kind::identifier},
    {&rt.id_func, "func", Kind::identifier},
    {&rt.id_keys, "keys", Kind::identifier},
    {&rt.id_key, "key", Kind::identifier},
    {&rt.id_items, "items", Kind::identifier},
    {&rt.id_x, "x", Kind::identifier},
    {&rt.id_f, "f", Kind::identifier},
    {&rt.id_v, "v", Kind::identifier},
    {&rt.id_r, "r", Kind::identifier},
    {&rt.id_ImportError, "ImportError", Kind::identifier},
    {&rt.id_Exception, "Exception", Kind::identifier},
    {&rt.id_ValueError, "ValueError", Kind::identifier},
    {&rt.id_range, "range", Kind::identifier},
    {&rt.id_IndexError, "IndexError", Kind::identifier},
    {&rt.id_KeyError, "KeyError", Kind::identifier},
    {&rt.function_name[static_cast<int>(Site::decode_int)], "decode_int", Kind::identifier},
    {&rt.function_name[static_cast<int>(Site::decode_string)], "decode_string", Kind::identifier},
    {&rt.function_name[static_cast<int>(Site::decode_list)], "decode_list", Kind::identifier},
    {&rt.function_name[static_cast<int>(Site::decode_dict)], "decode_dict", Kind::identifier},
    {&rt.function_name[static_cast<int>(Site::bdecode)], "bdecode", Kind::identifier},
    {&rt.function_name[static_cast<int>(Site::encode)], "encode", Kind::identifier},
    {&rt.function_name[static_cast<int>(Site::encode_int)], "encode_int", Kind::identifier},
    {&rt.function_name[static_cast<int>(Site::encode_bool)], "encode_bool", Kind::identifier},
    {&rt.function_name[static_cast<int>(Site::encode_string)], "encode_string", Kind::identifier},
    {&rt.function_name[static_cast<int>(Site::encode_list)], "encode_list", Kind::identifier},
    {&rt.function_name[static_cast<int>(Site::encode_dict)], "encode_dict", Kind::identifier},
    {&rt.function_name[static_cast<int>(Site::bencode)], "bencode", Kind::identifier},
};

int make_constants() {
    for (const Constant& c : constants) {
        PyObject* value = nullptr;
        switch (c.kind) {
            case Kind::bytes:
                value = PyBytes_FromString(c.text);
                break;
            case Kind::text:
                value = PyUnicode_FromString(c.text);
                break;
            case Kind::identifier:
                value = PyUnicode_InternFromString(c.text);
                break;
        }
        if (!value) {
            return -1;
        }
        Py_XSETREF(*c.slot, value);
    }
    const struct {
        PyObject** slot;
        long value;
    } numbers[] = {{&rt.i0, 0}, {&rt.i1, 1}, {&rt.i101, 101}};
    for (const auto& n : numbers) {
        PyObject* value = PyLong_FromLong(n.value);
        if (!value) {
            return -1;
        }
        Py_XSETREF(*n.slot, value);
    }
    return 0;
}

int register_module(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();
    if (PyDict_GetItemWithError(modules, rt.id_vorlaken)) {
        return 0;
    }
    return PyErr_Occurred() ? -1 : PyDict_SetItem(modules, rt.id_vorlaken, module);
}

int capture_builtins() {
    const struct {
        PyObject** slot;
        PyObject* name;
    } captured[] = {
        {&rt.ImportError, rt.id_ImportError}, {&rt.Exception, rt.id_Exception},
        {&rt.ValueError, rt.id_ValueError},   {&rt.range, rt.id_range},
        {&rt.IndexError, rt.id_IndexError},   {&rt.KeyError, rt.id_KeyError},
    };
    for (const auto& c : captured) {
        PyObject* value = PyObject_GetAttr(rt.builtins, c.name);
        if (!value) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_NameError, "name '%U' is not defined", c.name);
            }
            return -1;
        }
        Py_XSETREF(*c.slot, value);
    }
    return 0;
}

int make_argument_tuples() {
    for (auto [slot, message] : {std::pair{&rt.args_not_valid, rt.s_not_valid},
                                 std::pair{&rt.args_data_after, rt.s_data_after}}) {
        PyObject* args = PyTuple_Pack(1, message);
        if (!args) {
            return -1;
        }
        Py_XSETREF(*slot, args);
    }
    return 0;
}

// An absolute import with the namespace as globals, as the module's own import statements make.
PyObject* import(PyObject* name, PyObject* fromlist) {
    Ref locals(PyDict_New());
    if (!locals) {
        return nullptr;
    }
    return PyImport_ImportModuleLevelObject(name, rt.ns, locals.get(), fromlist, 0);
}

// from <module> import <name>
PyObject* import_from(PyObject* module_name, PyObject* name) {
    Ref fromlist(PyList_New(1));
    if (!fromlist) {
        return nullptr;
    }
    PyList_SET_ITEM(fromlist.get(), 0, Py_NewRef(name));
    Ref module(import(module_name, fromlist.get()));
    if (!module) {
        return nullptr;
    }
    PyObject* value = PyObject_GetAttr(module.get(), name);
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    }
    return value;
}

// OrderedDict from collections, else from the stand-alone ordereddict module; the caller's
// handled exception is the same afterwards whichever way it went.
int import_ordered_dict() {
    Ref saved(PyErr_GetHandledException());
    Ref cls(import_from(rt.id_collections, rt.id_OrderedDict));
    if (!cls && PyErr_ExceptionMatches(rt.ImportError)) {
        add_traceback(Site::module_body);
        Ref caught(take_pending());
        PyErr_SetHandledException(caught.get());
        cls = Ref(import_from(rt.id_ordereddict, rt.id_OrderedDict));
    }
    PyErr_SetHandledException(saved.get());
    return cls ? store_global(rt.id_OrderedDict, cls.get()) : -1;
}

// class BTFailure(Exception): pass -- through the metaclass protocol, as a class statement.
int define_failure_class() {
    Ref bases(PyTuple_Pack(1, rt.Exception));
    if (!bases) {
        return -1;
    }
    // With a single base the most derived metaclass is the type of that base.
    PyObject* metaclass = reinterpret_cast<PyObject*>(Py_TYPE(rt.Exception));
    Ref ns;
    Ref prepare(PyObject_GetAttr(metaclass, rt.id_prepare_attr));
    if (prepare) {
        ns =
            Ref(PyObject_CallFunctionObjArgs(prepare.get(), rt.id_BTFailure, bases.get(), nullptr));
    } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        ns = Ref(PyDict_New());
    }
    if (!ns || PyObject_SetItem(ns.get(), rt.id_module_attr, rt.id_vorlaken) < 0 ||
        PyObject_SetItem(ns.get(), rt.id_qualname_attr, rt.id_BTFailure) < 0) {
        return -1;
    }
    Ref cls(
        PyObject_CallFunctionObjArgs(metaclass, rt.id_BTFailure, bases.get(), ns.get(), nullptr));
    return cls ? store_global(rt.id_BTFailure, cls.get()) : -1;
}

int run_body() {
    // __version__ = "1.0.0"
    if (store_global(rt.id_version_attr, rt.s_version) < 0) {
        return -1;
    }
    // import sys
    {
        Ref fromlist(PyList_New(0));
        Ref sys(fromlist ? import(rt.id_sys, fromlist.get()) : nullptr);
        if (!sys || store_global(rt.id_sys, sys.get()) < 0) {
            return -1;
        }
    }
    // IS_PY2 = sys.version[0] == "2"
    {
        Ref sys(load_global(rt.id_sys));
        Ref version(sys ? PyObject_GetAttr(sys.get(), rt.id_version) : nullptr);
        Ref first(version ? PyObject_GetItem(version.get(), rt.i0) : nullptr);
        Ref is_py2(first ? PyObject_RichCompare(first.get(), rt.s_two, Py_EQ) : nullptr);
        if (!is_py2 || store_global(rt.id_IS_PY2, is_py2.get()) < 0) {
            return -1;
        }
    }
    if (import_ordered_dict() < 0) {
        return -1;
    }
    // END_CHAR = "e" if IS_PY2 else 101
    {
        Ref is_py2(load_global(rt.id_IS_PY2));
        const int truth = is_py2 ? PyObject_IsTrue(is_py2.get()) : -1;
        if (truth < 0 || store_global(rt.id_END_CHAR, truth ? rt.s_e : rt.i101) < 0) {
            return -1;
        }
    }
    if (define_failure_class() < 0) {
        return -1;
    }
    for (Site fn : {Site::decode_int, Site::decode_string, Site::decode_list, Site::decode_dict}) {
        if (bind_function(fn) < 0) {
            return -1;
        }
    }
    if (decoder::fill_reader_table() < 0) {
        return -1;
    }
    for (Site fn : {Site::bdecode, Site::encode, Site::encode_int, Site::encode_bool,
                    Site::encode_string, Site::encode_list, Site::encode_dict}) {
        if (bind_function(fn) < 0) {
            return -1;
        }
    }
    if (encoder::build_writer_table() < 0 || bind_function(Site::bencode) < 0) {
        return -1;
    }
    Ref test(PyDict_New());
    return test ? store_global(rt.id_test_attr, test.get()) : -1;
}

// Everything after the module object exists; a failure here leaves the module registered as far
// as its namespace got.
int start_up(PyObject* module) {
    PyObject* ns = PyModule_GetDict(module);
    if (!ns) {
        return -1;
    }
    Py_XSETREF(rt.ns, Py_NewRef(ns));
    PyObject* builtins = PyImport_AddModule("builtins");
    if (!builtins) {
        return -1;
    }
    Py_XSETREF(rt.builtins, Py_NewRef(builtins));
    if (PyObject_SetAttrString(module, "__builtins__", builtins) < 0) {
        return -1;
    }
    if (make_constants() < 0 || register_module(module) < 0 || capture_builtins() < 0 ||
        make_argument_tuples() < 0) {
        return -1;
    }
    return run_body();
}

PyObject* init() {
    if (check_version() < 0) {
        return nullptr;
    }
    const struct {
        PyObject** slot;
        PyObject* (*make)();
    } empties[] = {
        {&rt.empty_tuple, [] { return PyTuple_New(0); }},
        {&rt.empty_bytes, [] { return PyBytes_FromStringAndSize(nullptr, 0); }},
        {&rt.empty_text, [] { return PyUnicode_FromStringAndSize(nullptr, 0); }},
    };
    for (const auto& e : empties) {
        PyObject* value = e.make();
        if (!value) {
            return nullptr;
        }
        Py_XSETREF(*e.slot, value);
    }
    Ref module(PyModule_Create2(&module_def, api_version));
    if (!module) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_ImportError, "init vorlaken");
        }
        return nullptr;
    }
    if (start_up(module.get()) < 0) {
        add_traceback(Site::init);
        return nullptr;
    }
    start_watching();
    rt.started = true;
    return module.release();
}

}  // namespace

}  // namespace vorlaken

PyMODINIT_FUNC PyInit_vorlaken(void) {
    return vorlaken::init();
}
