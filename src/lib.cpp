// The module's root: its definition, its method table and PyInit_driftmoor,
// the library's only exported symbol.

#include "binding/call_wrapper.h"
#include "binding/driftmoor_functions.h"
#include "binding/module_functions.h"
#include "binding/signal_check.h"

namespace {

using namespace driftmoor::binding;

// The interpreter's fast-call convention with keyword names; METH_STATIC
// because the functions need no receiver.
constexpr int CALL_FLAGS = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

// Function objects point at these records, so they live for the process. The
// doc strings are only text signatures, which is what inspect.signature reads.
PyMethodDef method_table[] = {
    {"calculate_hash", as_method(py_calculate_hash), CALL_FLAGS, "calculate_hash(path)\n--\n\n"},
    {"compare_hashes", as_method(py_compare_hashes), CALL_FLAGS,
     "compare_hashes(hash_a, hash_b)\n--\n\n"},
    {"calculate_directory_manifest", as_method(py_calculate_directory_manifest), CALL_FLAGS,
     "calculate_directory_manifest(dir_path)\n--\n\n"},
};

int exec_driftmoor(PyObject* module) {
    if (exec_module_functions(module, method_table) < 0) {
        return -1;
    }
    return exec_wrapper([] { return find_main_thread(); });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_driftmoor)},
    // Safe to run without the interpreter lock, on a free-threaded build, as
    // long as these hold: a call reads nothing of its caller's but str
    // arguments, which never change once made; what calls share across
    // threads is made once under a one-time guard (the interned names, the
    // PanicException class), is an atomic byte (which SHA-256 routine this
    // processor takes) or is kept per thread (the tables' hash seed); and
    // everything else a call makes is its own until it returns it.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "driftmoor",  // m_name
    "",           // m_doc: a present but empty __doc__
    0,            // m_size: no per-module state
    nullptr,      // m_methods: the exec step adds the functions
    module_slots,
    nullptr,  // m_traverse
    nullptr,  // m_clear
    nullptr,  // m_free
};

}  // namespace

PyMODINIT_FUNC PyInit_driftmoor(void) {
    return PyModuleDef_Init(&module_definition);
}
