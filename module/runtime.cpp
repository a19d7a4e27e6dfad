#include "runtime.hpp"

#include <frameobject.h>

#include <cstdint>

namespace vorlaken {

Runtime rt;

PyObject* load_global(PyObject* name) {
    if (PyObject* v = PyDict_GetItemWithError(rt.ns, name)) {
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

#if PY_VERSION_HEX >= 0x030C0000
uint64_t watched_changes = 0;
int dict_watcher = -1;

namespace {

int count_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++watched_changes;
    return 0;
}

}  // namespace

void start_watching() {
    if (dict_watcher < 0) {
        dict_watcher = PyDict_AddWatcher(count_change);
        if (dict_watcher < 0) {
            PyErr_Clear();
        }
    }
}
#else
void start_watching() {}
#endif

Globals globals;

namespace {

bool own(PyObject* value, Site fn) {
    return value && value == rt.function_object[static_cast<int>(fn)];
}

// The namespace must be a dictionary whose keys are all exact str: looking a name up in it then
// compares only str objects, and runs nothing of a caller's.
void read_globals() {
    globals.stamped = globals.plain = false;
    if (!PyDict_CheckExact(rt.ns) || !take_stamp(rt.ns, &globals.stamp)) {
        return;
    }
    globals.stamped = true;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(rt.ns, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) {
            return;
        }
    }
    const auto get = [](PyObject* name) { return PyDict_GetItem(rt.ns, name); };
    globals.encode_is_own =
        own(get(rt.function_name[static_cast<int>(Site::encode)]), Site::encode);
    globals.encode_int_is_own =
        own(get(rt.function_name[static_cast<int>(Site::encode_int)]), Site::encode_int);
    globals.decode_string_is_own =
        own(get(rt.function_name[static_cast<int>(Site::decode_string)]), Site::decode_string);
    globals.end_char = -1;
    if (PyObject* end = get(rt.id_END_CHAR); end && PyLong_CheckExact(end)) {
        int overflow;
        const long v = PyLong_AsLongAndOverflow(end, &overflow);
        globals.end_char = overflow || v < 0 || v > 255 ? 256 : static_cast<int>(v);
    }
    globals.ordered_dict = get(rt.id_OrderedDict);
    globals.decode_func = get(rt.id_decode_func);
    globals.encode_func = get(rt.id_encode_func);
    globals.plain = true;
}

}  // namespace

const Globals* reread_globals() {
    if (!rt.started) {
        return nullptr;
    }
    read_globals();
    return globals.plain ? &globals : nullptr;
}

PyObject* TableStamps::take(PyObject* Globals::*which) {
    stamped = false;
    const Globals* g = current_globals();
    if (!globals.stamped) {
        return nullptr;  // nothing can be proven: the general path every time
    }
    ns_stamp = globals.stamp;
    PyObject* found = g ? g->*which : nullptr;
    // Exactly a dict, before a stamp is read from inside it.
    if (!found || !PyDict_CheckExact(found)) {
        table = rt.ns;
        table_stamp = ns_stamp;
        stamped = true;
        return nullptr;
    }
    table = found;
    stamped = take_stamp(found, &table_stamp);
    return stamped ? found : nullptr;
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
