#include "functions.hpp"

#include "../decoder/decoder.hpp"
#include "binding.hpp"

namespace vorlaken {

namespace {

const Signature decode_int_sig{"decode_int",
                               Site::decode_int,
                               {&Runtime::id_x, &Runtime::id_f},
                               {"x", "f"},
                               {Param::exact, Param::int32},
                               &PyBytes_Type};
const Signature decode_string_sig{
    "decode_string", Site::decode_string,          {&Runtime::id_x, &Runtime::id_f},
    {"x", "f"},      {Param::exact, Param::int32}, &PyBytes_Type};

template <class F>
PyCFunction as_cfunction(F* fn) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

constexpr int with_keywords = METH_VARARGS | METH_KEYWORDS;

struct Function {
    Site site;
    PyMethodDef def;
};

// Method records: name, entry point, flags, no documentation.
Function functions[] = {
    {Site::decode_int,
     {"decode_int", as_cfunction(entry<decode_int_sig, decoder::decode_int>), with_keywords,
      nullptr}},
    {Site::decode_string,
     {"decode_string", as_cfunction(entry<decode_string_sig, decoder::decode_string>),
      with_keywords, nullptr}},
};

}  // namespace

int bind_function(Site which) {
    for (Function& fn : functions) {
        if (fn.site != which) {
            continue;
        }
        const int i = static_cast<int>(which);
        Ref object(PyCFunction_NewEx(&fn.def, nullptr, rt.id_vorlaken));
        if (!object || store_global(rt.function_name[i], object.get()) < 0) {
            return -1;
        }
        Py_XSETREF(rt.function_object[i], object.release());
        return 0;
    }
    PyErr_SetString(PyExc_SystemError, "no method record for this function");
    return -1;
}

}  // namespace vorlaken
