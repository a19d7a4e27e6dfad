#include "runtime.hpp"

#include <frameobject.h>

#include <cstdint>

namespace vorlaken {

Runtime rt;

namespace {

// What the last lookups of the names read so far found in the namespace. A dictionary's version
// tag changes with every change to it, so while the namespace keeps the tag it had, a lookup
// would find the same object again, and the namespace still holds it.
struct Found {
    PyObject* name = nullptr;
    uint64_t tag = 0;
    PyObject* value = nullptr;  // borrowed from the namespace
};
// The module's code reads a handful of names; any further ones are looked up every time.
Found found[16];

Found* slot_of(PyObject* name) {
    for (Found& slot : found) {
        if (slot.name == name || !slot.name) {
            slot.name = name;
            return &slot;
        }
    }
    return nullptr;
}

}  // namespace

PyObject* load_global(PyObject* name) {
    // Start-up reads names once each; only the functions' reads are worth remembering.
    Found* slot = rt.started ? slot_of(name) : nullptr;
    const uint64_t tag = dict_version(rt.ns);
    if (slot && tag != 0 && slot->value && slot->tag == tag) {
        return Py_NewRef(slot->value);
    }
    if (PyObject* v = PyDict_GetItemWithError(rt.ns, name)) {
        // The tag read before the lookup: code run by the lookup that changed the namespace has
        // changed the tag too.
        if (slot) {
            slot->tag = tag;
            slot->value = v;
        }
        return Py_NewRef(v);
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    if (PyObject* v = PyObject_GetAttr(rt.builtins, name)) {
        return v;
    }
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return nullptr;
}

PyObject* load_function(Site fn) {
    return load_global(rt.function_name[static_cast<int>(fn)]);
}

int store_global(PyObject* name, PyObject* value) {
    return PyDict_SetItem(rt.ns, name, value);
}

namespace {

struct SiteCode {
    const char* name;
    PyObject* code;  // made at the first failure that needs it, then kept
};

SiteCode site_codes[] = {
    {"vorlaken.decode_int", nullptr},
    {"vorlaken.decode_string", nullptr},
    {"vorlaken.decode_list", nullptr},
    {"vorlaken.decode_dict", nullptr},
    {"vorlaken.bdecode", nullptr},
    {"vorlaken.encode", nullptr},
    {"vorlaken.encode_int", nullptr},
    {"vorlaken.encode_bool", nullptr},
    {"vorlaken.encode_string", nullptr},
    {"vorlaken.encode_list", nullptr},
    {"vorlaken.encode_dict", nullptr},
    {"vorlaken.bencode", nullptr},
    {"vorlaken", nullptr},
    {"init vorlaken", nullptr},
};
static_assert(sizeof site_codes / sizeof site_codes[0] == static_cast<size_t>(Site::count_));

}  // namespace

void add_traceback(Site site) {
    SiteCode& entry = site_codes[static_cast<int>(site)];
    PyObject *type, *value, *tb;
    // Building the frame must not disturb the exception it is being added to.
    PyErr_Fetch(&type, &value, &tb);
    if (!entry.code) {
        entry.code = reinterpret_cast<PyObject*>(PyCode_NewEmpty("vorlaken.cpp", entry.name, 1));
    }
    PyFrameObject* frame = nullptr;
    if (entry.code && rt.ns) {
        frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(entry.code), rt.ns,
                            nullptr);
    }
    // A failure to build the entry leaves the original exception as it was, only without it.
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
    if (frame) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

PyObject* take_pending() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) {
        PyException_SetTraceback(value, tb);
    }
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
}

}  // namespace vorlaken
