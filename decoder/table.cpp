// The reader table as start-up builds it: the token's first byte to its reader.
#include <algorithm>
#include <initializer_list>
#include <iterator>

#include "decoder.hpp"
#include "reading.hpp"

namespace vorlaken::decoder {

// decode_func = {}
// for func, keys in [(decode_list, "l"), (decode_dict, "d"), (decode_int, "i"),
//                    (decode_string, [str(i) for i in range(10)])]:
//     for key in keys:
//         decode_func[key if IS_PY2 else ord(key)] = func
// The loop variables are globals and stay bound.
int fill_reader_table() {
    Ref table(PyDict_New());
    if (!table || store_global(rt.id_decode_func, table.get()) < 0) {
        return -1;
    }
    Ref digits(PyList_New(10));
    if (!digits) {
        return -1;
    }
    for (long i = 0; i < 10; ++i) {
        Ref n(PyLong_FromLong(i));
        PyObject* text = n ? PyObject_Str(n.get()) : nullptr;
        if (!text) {
            return -1;
        }
        PyList_SET_ITEM(digits.get(), i, text);
    }
    Ref readers[] = {Ref(load_function(Site::decode_list)), Ref(load_function(Site::decode_dict)),
                     Ref(load_function(Site::decode_int)), Ref(load_function(Site::decode_string))};
    PyObject* key_sets[] = {rt.s_l, rt.s_d, rt.s_i, digits.get()};
    for (int pair = 0; pair < 4; ++pair) {
        PyObject* func = readers[pair].get();
        if (!func || store_global(rt.id_func, func) < 0 ||
            store_global(rt.id_keys, key_sets[pair]) < 0) {
            return -1;
        }
        Ref keys(PyObject_GetIter(key_sets[pair]));
        if (!keys) {
            return -1;
        }
        while (Ref key{PyIter_Next(keys.get())}) {
            if (store_global(rt.id_key, key.get()) < 0) {
                return -1;
            }
            Ref is_py2(load_global(rt.id_IS_PY2));
            const int truth = is_py2 ? PyObject_IsTrue(is_py2.get()) : -1;
            if (truth < 0) {
                return -1;
            }
            Ref code(truth ? Ref::borrow(key.get())
                           : Ref(PyLong_FromLong(PyUnicode_READ_CHAR(key.get(), 0))));
            if (!code || PyDict_SetItem(table.get(), code.get(), func) < 0) {
                return -1;
            }
        }
        if (PyErr_Occurred()) {
            return -1;
        }
    }
    return 0;
}

ReaderProofState reader_state;

// Looking an exact int up in a dictionary whose keys are all exact ints compares ints only, so the
// answers stand while the table and the namespace are unchanged.
const ReaderProof* read_proof() {
    ReaderProofState& s = reader_state;
    s.plain = false;
    PyObject* table = s.stamps.take(&Globals::decode_func);
    if (!table) {
        return nullptr;
    }
    ReaderProof& proof = s.proof;
    std::fill(std::begin(proof.own), std::end(proof.own), Site::count_);
    Py_ssize_t pos = 0;
    PyObject *key, *reader;
    while (PyDict_Next(table, &pos, &key, &reader)) {
        if (!PyLong_CheckExact(key)) {
            return nullptr;
        }
        int overflow;
        const long b = PyLong_AsLongAndOverflow(key, &overflow);
        if (overflow || b < 0 || b > 255) {
            continue;
        }
        for (Site site :
             {Site::decode_int, Site::decode_string, Site::decode_list, Site::decode_dict}) {
            if (reader == rt.function_object[static_cast<int>(site)]) {
                proof.own[b] = site;
            }
        }
    }
    proof.end_char = globals.end_char;
    proof.decode_string_is_own = globals.decode_string_is_own;
    proof.ordered_dict = globals.ordered_dict;
    s.plain = true;
    return &proof;
}

}  // namespace vorlaken::decoder
