#include "functions.hpp"

#include "../decoder/decoder.hpp"
#include "../encoder/encoder.hpp"
#include "binding.hpp"
#include "calls.hpp"

namespace vorlaken {

namespace {

constexpr Signature reader(const char* name, Site site) {
    return {name,
            site,
            {&Runtime::id_x, &Runtime::id_f},
            {"x", "f"},
            {Param::exact, Param::int32},
            &PyBytes_Type};
}

constexpr Signature writer(const char* name, Site site, Param x_kind = Param::any) {
    return {name,        site, {&Runtime::id_x, &Runtime::id_r}, {"x", "r"}, {x_kind, Param::exact},
            &PyList_Type};
}

const Signature decode_int_sig = reader("decode_int", Site::decode_int);
const Signature decode_string_sig = reader("decode_string", Site::decode_string);
const Signature decode_list_sig = reader("decode_list", Site::decode_list);
const Signature decode_dict_sig = reader("decode_dict", Site::decode_dict);
const Signature encode_sig{
    "encode", Site::encode, {&Runtime::id_v, &Runtime::id_r}, {"v", "r"}, {Param::any, Param::any},
    nullptr};
const Signature encode_int_sig = writer("encode_int", Site::encode_int, Param::integer);
const Signature encode_bool_sig = writer("encode_bool", Site::encode_bool);
const Signature encode_string_sig = writer("encode_string", Site::encode_string);
const Signature encode_list_sig = writer("encode_list", Site::encode_list);
const Signature encode_dict_sig = writer("encode_dict", Site::encode_dict);

template <class F>
PyCFunction as_cfunction(F* fn) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

constexpr int with_keywords = METH_VARARGS | METH_KEYWORDS;

// A function's method record: name, entry point, flags, no documentation.
struct Function {
    Site site;
    PyMethodDef def;
};

template <const Signature& S, auto Body>
constexpr Function two_parameters() {
    return {S.site, {S.name, as_cfunction(entry<S, Body>), with_keywords, nullptr}};
}

// A single-argument function's entry point, counting the level of the call from Python.
template <PyObject* (*Body)(PyObject*, PyObject*)>
PyObject* single_argument(PyObject* self, PyObject* arg) {
    EntryLevel level;
    return level.ok() ? Body(self, arg) : nullptr;
}

// In binding order, so that functions[i].site == i.
Function functions[] = {
    two_parameters<decode_int_sig, decoder::decode_int>(),
    two_parameters<decode_string_sig, decoder::decode_string>(),
    two_parameters<decode_list_sig, decoder::decode_list>(),
    two_parameters<decode_dict_sig, decoder::decode_dict>(),
    {Site::bdecode, {"bdecode", single_argument<decoder::bdecode>, METH_O, nullptr}},
    two_parameters<encode_sig, encoder::encode>(),
    two_parameters<encode_int_sig, encoder::encode_int>(),
    two_parameters<encode_bool_sig, encoder::encode_bool>(),
    two_parameters<encode_string_sig, encoder::encode_string>(),
    two_parameters<encode_list_sig, encoder::encode_list>(),
    two_parameters<encode_dict_sig, encoder::encode_dict>(),
    {Site::bencode, {"bencode", single_argument<encoder::bencode>, METH_O, nullptr}},
};
static_assert(sizeof functions / sizeof functions[0] == static_cast<size_t>(Site::module_body));

}  // namespace

int bind_function(Site which) {
    const int i = static_cast<int>(which);
    Function& fn = functions[i];
    Ref object(PyCFunction_NewEx(&fn.def, nullptr, rt.id_vorlaken));
    if (!object || store_global(rt.function_name[i], object.get()) < 0) {
        return -1;
    }
    Py_XSETREF(rt.function_object[i], object.release());
    return 0;
}

}  // namespace vorlaken
