// Process-wide objects that start-up creates once, and the helpers every function body shares:
// late-bound global lookup and traceback entries.
#pragma once

#include <cstdint>

#include "compat.hpp"
#include "ref.hpp"

namespace vorlaken {

// Every place that can add a traceback entry. The order matches the site table in runtime.cpp.
enum class Site {
    // The module's functions, in the order in which start-up binds them.
    decode_int,
    decode_string,
    decode_list,
    decode_dict,
    bdecode,
    encode,
    encode_int,
    encode_bool,
    encode_string,
    encode_list,
    encode_dict,
    bencode,
    module_body,  // a handled exception inside the module body
    init,         // a failed start-up
    count_
};

struct Runtime {
    bool started = false;          // start-up has completed
    PyObject* ns = nullptr;        // the module's namespace dictionary
    PyObject* builtins = nullptr;  // the builtins module

    PyObject* empty_tuple = nullptr;  // call arguments of no-argument calls
    PyObject* empty_bytes = nullptr;
    PyObject* empty_text = nullptr;

    // One-byte markers and the separator of the final join.
    PyObject* b_e = nullptr;
    PyObject* b_l = nullptr;
    PyObject* b_d = nullptr;
    PyObject* b_i = nullptr;
    PyObject* b_minus = nullptr;
    PyObject* b_zero = nullptr;
    PyObject* b_colon = nullptr;
    PyObject* b_empty = nullptr;

    // Token letters of the reader table, and the other texts.
    PyObject* s_e = nullptr;
    PyObject* s_l = nullptr;
    PyObject* s_d = nullptr;
    PyObject* s_i = nullptr;
    PyObject* s_two = nullptr;
    PyObject* s_version = nullptr;
    PyObject* s_unknown_type = nullptr;
    PyObject* s_not_valid = nullptr;
    PyObject* s_data_after = nullptr;
    PyObject* args_not_valid = nullptr;   // ("not a valid bencoded string",)
    PyObject* args_data_after = nullptr;  // ("invalid bencoded value (data after valid prefix)",)

    PyObject* i0 = nullptr;
    PyObject* i1 = nullptr;
    PyObject* i101 = nullptr;

    // Interned identifiers: globals, parameters and attributes looked up by name.
    PyObject* id_vorlaken = nullptr;
    PyObject* id_builtins_attr = nullptr;  // "__builtins__"
    PyObject* id_version_attr = nullptr;   // "__version__"
    PyObject* id_test_attr = nullptr;      // "__test__"
    PyObject* id_module_attr = nullptr;    // "__module__"
    PyObject* id_qualname_attr = nullptr;  // "__qualname__"
    PyObject* id_prepare_attr = nullptr;   // "__prepare__"
    PyObject* id_sys = nullptr;
    PyObject* id_version = nullptr;
    PyObject* id_IS_PY2 = nullptr;
    PyObject* id_collections = nullptr;
    PyObject* id_ordereddict = nullptr;
    PyObject* id_OrderedDict = nullptr;
    PyObject* id_END_CHAR = nullptr;
    PyObject* id_BTFailure = nullptr;
    PyObject* id_index = nullptr;
    PyObject* id_decode_func = nullptr;
    PyObject* id_encode_func = nullptr;
    PyObject* id_func = nullptr;
    PyObject* id_keys = nullptr;
    PyObject* id_key = nullptr;
    PyObject* id_items = nullptr;
    PyObject* id_x = nullptr;
    PyObject* id_f = nullptr;
    PyObject* id_v = nullptr;
    PyObject* id_r = nullptr;
    PyObject* id_ImportError = nullptr;
    PyObject* id_Exception = nullptr;
    PyObject* id_ValueError = nullptr;
    PyObject* id_range = nullptr;
    PyObject* id_IndexError = nullptr;
    PyObject* id_KeyError = nullptr;
    PyObject* function_name[static_cast<int>(Site::module_body)] = {};  // by Site

    // The function objects start-up made, by Site; null for those not made yet. A table entry
    // that is one of these can be run without the interpreter's call machinery.
    PyObject* function_object[static_cast<int>(Site::module_body)] = {};

    // Built-ins captured by name at start-up; later rebinding of the names changes nothing.
    PyObject* ImportError = nullptr;
    PyObject* Exception = nullptr;
    PyObject* ValueError = nullptr;
    PyObject* range = nullptr;
    PyObject* IndexError = nullptr;
    PyObject* KeyError = nullptr;
};

extern Runtime rt;

// Looks a global up as the module's code does at run time: the namespace, then the builtins
// module, else NameError. Returns a new reference: the caller may run Python code while holding it.
PyObject* load_global(PyObject* name);

// What the namespace held when it was last read, valid while it is unchanged: the answers that
// load_global would give now, found without looking up, for the names the functions read at every
// element. A name absent from the namespace reads as null (load_global would go on to the
// builtins, which the fast paths leave to it).
struct Globals {
    bool stamped = false;  // stamp holds the namespace's stamp when it was read
    uint64_t stamp = 0;
    bool plain = false;          // the namespace was a dictionary of exact str keys then
    bool encode_is_own = false;  // the global is the module's own function
    bool encode_int_is_own = false;
    bool decode_string_is_own = false;
    int end_char = -1;  // END_CHAR as a byte value when it is an exact int; 256 when it is an
                        // int no byte equals; -1 when it is anything else
    // Borrowed from the namespace, which holds them while it is unchanged.
    PyObject* ordered_dict = nullptr;
    PyObject* decode_func = nullptr;
    PyObject* encode_func = nullptr;
};

extern Globals globals;
const Globals* reread_globals();

// The namespace's answers, or null where they cannot be proven (before start-up has finished, or
// a namespace with keys that are no exact str).
inline const Globals* current_globals() {
    if (globals.stamped && unchanged(rt.ns, globals.stamp)) [[likely]] {
        return globals.plain ? &globals : nullptr;
    }
    return reread_globals();
}

// The stamps of a table that the namespace holds, taken when a proof about the table was read: the
// proof stands while both the namespace and the table are unchanged (the namespace first: while
// it is unchanged, it holds the table).
struct TableStamps {
    bool stamped = false;
    uint64_t ns_stamp = 0;
    PyObject* table = nullptr;  // the table, or the namespace where the table is none to stamp
    uint64_t table_stamp = 0;

    bool hold() const {
        return stamped && unchanged(rt.ns, ns_stamp) && unchanged(table, table_stamp);
    }
    // Takes the stamps afresh for the table that the global `which` names now. Returns the table
    // when it is a dictionary of exactly that type whose stamp could be taken (a proof about it
    // may then be read); null where no proof can be had, the stamps then saying for how long.
    PyObject* take(PyObject* Globals::*which);
};

// The global that holds one of the module's functions, as load_global gives it.
PyObject* load_function(Site fn);

// Binds a global; 0 on success, -1 with an exception set.
int store_global(PyObject* name, PyObject* value);

// Adds the site's entry to the traceback of the pending exception.
void add_traceback(Site site);

// Takes the pending exception as an except clause does: normalised, with its traceback attached.
// Returns a new reference to the exception instance.
PyObject* take_pending();

}  // namespace vorlaken
