// The root of driftmoor_tree, the `driftmoor` command's own module: the same
// walk as driftmoor's manifest, used the way a checking command needs it
// (every file whatever its name, and an account of what was left out).
// PyInit_driftmoor_tree is its only exported symbol.

#include "binding/call_wrapper.h"
#include "binding/module_functions.h"
#include "binding/signal_check.h"
#include "binding/tree_functions.h"
#include "binding/tree_walk_conversion.h"

namespace {

using namespace driftmoor::binding;

constexpr int CALL_FLAGS = METH_VARARGS | METH_KEYWORDS;

PyMethodDef method_table[] = {
    {"walk", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_walk)), CALL_FLAGS,
     "walk(dir_path, /, *, jobs=1, exclude=None, progress=None)\n--\n\n"
     "Fingerprint every regular file at or below dir_path (bytes), following\n"
     "links, and account for every entry left out.\n\n"
     "Returns TreeWalk(files, failures, passed_over): files maps each file's\n"
     "path (bytes: dir_path, then the names on the way down) to its SHA-256\n"
     "digest; failures lists (path, reason) for each entry that could not be\n"
     "read (an unreadable file or unlistable directory with the system's\n"
     "message, a dangling link); passed_over lists (path, reason) for pipes,\n"
     "sockets and devices, links back to a directory above, the excluded file\n"
     "and entries gone while walked. A dir_path naming a regular file gives a\n"
     "tree of that one file.\n\n"
     "jobs: how many threads walk (1: the calling thread alone); the result\n"
     "is the same for any number.\n"
     "exclude: (st_dev, st_ino) of a file to pass over, such as the manifest\n"
     "being written into the tree. progress: a writable buffer whose first\n"
     "64-bit word is kept at the number of files read so far.\n\n"
     "Raises OSError when dir_path cannot be examined, when descriptors or\n"
     "memory run out (MemoryError), and KeyboardInterrupt on Ctrl-C."},
    {"manifest_lines",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_manifest_lines)), CALL_FLAGS,
     "manifest_lines(files, /, format='sha256sum')\n--\n\n"
     "The lines of a manifest of files (dict of path bytes to digest), sorted\n"
     "by path, as sha256sum writes them ('sha256sum') or as sha256sum --tag\n"
     "does ('bsd'); a list of bytes chunks of whole lines, about 64 KiB each."},
};

TreeModuleState* state_of(PyObject* module) {
    return static_cast<TreeModuleState*>(PyModule_GetState(module));
}

int exec_driftmoor_tree(PyObject* module) {
    if (exec_module_functions(module, method_table) < 0) {
        return -1;
    }
    return exec_wrapper([module]() -> Outcome<void> {
        auto type = make_tree_walk_type();
        if (!type) {
            return std::unexpected(std::move(type).error());
        }
        if (auto added = checked_status(PyModule_AddObjectRef(module, "TreeWalk", type->get()));
            !added) {
            return added;
        }
        state_of(module)->tree_walk_type = type->release();
        return find_main_thread();
    });
}

int traverse_driftmoor_tree(PyObject* module, visitproc visit, void* arg) {
    if (TreeModuleState* state = state_of(module)) {
        Py_VISIT(state->tree_walk_type);
    }
    return 0;
}

int clear_driftmoor_tree(PyObject* module) {
    if (TreeModuleState* state = state_of(module)) {
        Py_CLEAR(state->tree_walk_type);
    }
    return 0;
}

void free_driftmoor_tree(void* module) {
    clear_driftmoor_tree(static_cast<PyObject*>(module));
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_driftmoor_tree)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "driftmoor_tree",
    "The driftmoor command's walk: every file fingerprinted, everything left out accounted for.",
    sizeof(TreeModuleState),
    nullptr,  // m_methods: the exec step adds the functions
    module_slots,
    traverse_driftmoor_tree,
    clear_driftmoor_tree,
    free_driftmoor_tree,
};

}  // namespace

PyMODINIT_FUNC PyInit_driftmoor_tree(void) {
    return PyModuleDef_Init(&module_definition);
}
