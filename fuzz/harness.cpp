// libFuzzer driver shared by every target: it starts an interpreter with the module linked in
// as a built-in, imports the target's Python module and hands each input to its check().
// Whatever check() raises is a finding: the traceback is printed and the process aborts, so
// libFuzzer keeps the input.
#include <Python.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" PyObject* PyInit_vorlaken(void);

namespace {

PyObject* check_function = nullptr;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz harness: %s\n", what);
    if (PyErr_Occurred())
        PyErr_Print();
    std::abort();
}

void start_interpreter() {
    // The raw allocator lets AddressSanitizer see every object on its own, instead of inside
    // the interpreter's arenas, where overruns between objects would go unnoticed.
    PyPreConfig preconfig;
    PyPreConfig_InitIsolatedConfig(&preconfig);
    preconfig.allocator = PYMEM_ALLOCATOR_MALLOC;
    if (PyStatus_Exception(Py_PreInitialize(&preconfig)))
        fail("pre-initialization failed");

    if (PyImport_AppendInittab("vorlaken", PyInit_vorlaken) != 0)
        fail("cannot add the module");

    PyConfig config;
    PyConfig_InitIsolatedConfig(&config);
    config.install_signal_handlers = 0;
    config.site_import = 0;
    PyStatus status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status))
        fail("interpreter start-up failed");

    PyObject* path = PySys_GetObject("path");
    PyObject* dir = PyUnicode_FromString(FUZZ_TARGETS_DIR);
    if (path == nullptr || dir == nullptr || PyList_Insert(path, 0, dir) != 0)
        fail("sys.path");
    Py_DECREF(dir);

    PyObject* target = PyImport_ImportModule(FUZZ_TARGET);
    if (target == nullptr)
        fail("cannot import the target");
    check_function = PyObject_GetAttrString(target, "check");
    Py_DECREF(target);
    if (check_function == nullptr)
        fail("the target has no check()");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    start_interpreter();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    PyObject* input = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data),
                                                static_cast<Py_ssize_t>(size));
    if (input == nullptr)
        fail("cannot make the input");
    PyObject* result = PyObject_CallOneArg(check_function, input);
    Py_DECREF(input);
    if (result == nullptr)
        fail("check() failed");
    Py_DECREF(result);
    return 0;
}
