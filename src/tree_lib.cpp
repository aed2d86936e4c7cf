// The root of driftmoor_tree, the `driftmoor` command's own module: the same
// walk as driftmoor's manifest, used the way a checking command needs it
// (every file whatever its name, and an account of what was left out).
// PyInit_driftmoor_tree is its only exported symbol.

#include "binding/call_wrapper.h"
#include "binding/module_functions.h"
#include "binding/part_functions.h"
#include "binding/signal_check.h"
#include "binding/tree_check_types.h"
#include "binding/tree_functions.h"
#include "binding/tree_module_state.h"
#include "binding/tree_names.h"
#include "binding/tree_walk_conversion.h"
#include "tree/listed_manifest.h"

namespace {

using namespace driftmoor::binding;

constexpr int CALL_FLAGS = METH_VARARGS | METH_KEYWORDS;

PyMethodDef method_table[] = {
    {"walk", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_walk)), CALL_FLAGS,
     "walk(dir_path, /, *, jobs=1, exclude=None, progress=None, links=LinkRule.ALL,\n"
     "     one_file_system=False, record_reads=False)\n--\n\n"
     "Fingerprint every regular file at or below dir_path (bytes), following\n"
     "links, and account for every entry left out.\n\n"
     "Returns TreeWalk(files, failures, passed_over, root): files maps each\n"
     "file's path (bytes: dir_path, then the names on the way down) to its\n"
     "SHA-256 digest; failures lists (path, kind, message) for each entry\n"
     "that could not be read, passed_over for each entry not read by design\n"
     "(pipes, sockets, devices, links back to a directory above, the excluded\n"
     "file, entries gone while walked), kind a LeftOutKind and message the\n"
     "system's for what an error left out (else None); root is a RootKind.\n"
     "A dir_path naming a regular file gives a tree of that one file.\n\n"
     "jobs: how many threads walk (1: the calling thread alone); the result\n"
     "is the same for any number.\n"
     "exclude: (st_dev, st_ino) of a file to pass over, such as the manifest\n"
     "being written into the tree. progress: a writable buffer whose first\n"
     "64-bit word is kept at the number of files read so far, and its second,\n"
     "if it has one, at the bytes read of them. links: which links are\n"
     "followed (LinkRule). one_file_system: pass over directories on another\n"
     "file system than dir_path's. record_reads: keep how each file was when\n"
     "its reading began in TreeWalk.reads (bytes of packed records), for\n"
     "recorded_state; else TreeWalk.reads is None.\n\n"
     "Raises OSError when dir_path cannot be examined, when descriptors or\n"
     "memory run out (MemoryError), and KeyboardInterrupt on Ctrl-C."},
    {"manifest_lines",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_manifest_lines)), CALL_FLAGS,
     "manifest_lines(files, /, format='sha256sum')\n--\n\n"
     "The lines of a manifest of files (dict of path bytes to digest), sorted\n"
     "by path, as sha256sum writes them ('sha256sum') or as sha256sum --tag\n"
     "does ('bsd'); a list of bytes chunks of whole lines, about 64 KiB each."},
    {"check", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_check)), CALL_FLAGS,
     "check(manifest, /, *, tree=None, listed_start=b'', checked_start=b'', walked_start=b'',\n"
     "      jobs=1, exclude=None, progress=None, links=LinkRule.INSIDE,\n"
     "      one_file_system=False, state=None, state_digests=None, scrub=0,\n"
     "      walked=None)\n--\n\n"
     "Checks the files a sealed ListedManifest lists, taking it: every path with its\n"
     "state (Findings). A relative listed path is checked at checked_start and what\n"
     "follows listed_start in it, an absolute one where it is. With a tree, the tree\n"
     "is walked for what the manifest does not list, each path it finds named with\n"
     "walked_start replaced by checked_start; a listed file the walk did not read is\n"
     "read by its own name, wherever its links lead.\n\n"
     "state: the chunks of what earlier checks recorded of each listed file, as\n"
     "Findings.state_chunks gives them ([] for none yet), with state_digests; a\n"
     "listed file whose status is as recorded is then taken unread, every file\n"
     "read is recorded anew, and with scrub N the 1/N of recorded files read\n"
     "longest ago are read all the same. ValueError when the state does not fit\n"
     "the manifest, which is then left untaken. walked: a GatheredWalk of the tree\n"
     "(its parts walked elsewhere with the same options), taken in place of a walk\n"
     "here; or a function that makes it, called with the TrustTable of what the\n"
     "check may take unread (walk_part's trust)."},
    {"recorded_state",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_recorded_state)), METH_FASTCALL,
     "recorded_state(manifest, reads, /)\n--\n\nThe state of a sealed ListedManifest's files\n"
     "from TreeWalk.reads of the walk it was written from: (first, bytes) chunks,\n"
     "as check takes them."},
    {"compare", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_compare)),
     METH_FASTCALL,
     "compare(old, new, /)\n--\n\nTwo sealed ListedManifests compared path by path, as "
     "written, taking both: Findings."},
    {"walk_part", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_walk_part)),
     CALL_FLAGS,
     "walk_part(top, /, *, directory=None, name=b'', through_link=False, above=b'', depth=0,\n"
     "          most_work=2**64-1, most_seconds=-1.0, jobs=1, exclude=None, progress=None,\n"
     "          links=LinkRule.ALL, one_file_system=False, record_reads=False,\n"
     "          trust=None)\n--\n\n"
     "Walks one part of the tree at top (bytes) as walk walks the whole tree there:\n"
     "the top itself (directory None), or the subdirectory name of the directory\n"
     "at the path directory, which another part handed back with its through_link,\n"
     "above and depth. Once most_work units of work are done (a file read, a\n"
     "subdirectory met, a MiB read: one unit each), or most_seconds have gone by\n"
     "(when not negative), every subdirectory not entered yet is handed back\n"
     "rather than walked.\n\n"
     "Returns (run, files, bytes, failures, passed_over, parts, root): run, the\n"
     "files met as a sorted run for RunMerge or GatheredWalk, their names below the\n"
     "part's directory (b'' for a top that is a file), with the status each read\n"
     "began with where record_reads (or trust) is given; the counts of files and of their\n"
     "bytes; failures and passed_over, lists of (path, kind, code, text), code the\n"
     "system's error number to word (os_error_message) and text the error's own\n"
     "words where there is no number (both None where kind says all); parts, a list\n"
     "of (directory, name, through_link, above, depth) handed back; root, a\n"
     "RootKind. trust: what a check may take unread (TrustTable.below): a file\n"
     "whose status is its record's is then taken unread, or read for the scrub,\n"
     "and said so in the run. The other arguments are walk's."},
    {"run_reads", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_run_reads)),
     METH_FASTCALL,
     "run_reads(directory, run, /)\n--\n\nThe records of the reads of a run (walk_part's, "
     "with\nrecord_reads) of the files below directory, in the form TreeWalk.reads has,\n"
     "for recorded_state."},
    {"shared_identity", py_shared_identity, METH_O,
     "shared_identity(path, /)\n--\n\n"
     "(device, inode) of what path (bytes) names, following links, as every machine\n"
     "that mounts its file system names it: the file system's own id where it gives\n"
     "all its clients one (NFS, Lustre, CephFS, GPFS), else the device number.\n"
     "OSError if it cannot be examined."},
    {"os_error_message", py_os_error_message, METH_O,
     "os_error_message(code, /)\n--\n\n"
     "The system's message for an error number, as walk words the errors it meets."},
    {"escape_path", py_escape_path, METH_O,
     "escape_path(path, /)\n--\n\n"
     "(mark, text): the path (bytes) as every line shows it, a backslash,\n"
     "line feed and carriage return escaped as \\\\, \\n and \\r, and the\n"
     "mark a manifest or report line holding it starts with (b'\\\\' when\n"
     "anything was escaped, else b'')."},
    {"plain_path", py_plain_path, METH_O,
     "plain_path(path, /)\n--\n\n"
     "The path (bytes) spelled as a manifest's paths are read: each run of\n"
     "slashes made one, each '.' component dropped; '..' kept."},
    {"unescape_path", py_unescape_path, METH_O,
     "unescape_path(text, /)\n--\n\n"
     "The path an escaped text (bytes) stands for; None when it holds an\n"
     "escape other than \\\\, \\n or \\r."},
};

int exec_driftmoor_tree(PyObject* module) {
    if (exec_module_functions(module, method_table) < 0) {
        return -1;
    }
    return exec_wrapper([module]() -> Outcome<void> {
        TreeModuleState& state = tree_state_of_module(module);
        if (auto added = add_tree_enums(module, state); !added) {
            return added;
        }
        if (auto added = add_tree_walk_types(module, state); !added) {
            return added;
        }
        if (auto added = add_tree_check_types(module, state); !added) {
            return added;
        }
        if (auto added = add_part_types(module, state); !added) {
            return added;
        }
        if (auto added = checked_status(PyModule_AddIntConstant(
                module, "MAX_LINE_LENGTH",
                static_cast<long>(driftmoor::tree::ListedManifest::MAX_LINE_LENGTH)));
            !added) {
            return added;
        }
        return find_main_thread();
    });
}

int traverse_driftmoor_tree(PyObject* module, visitproc visit, void* arg) {
    if (PyModule_GetState(module) == nullptr) {
        return 0;
    }
    return traverse_tree_state(tree_state_of_module(module), visit, arg);
}

int clear_driftmoor_tree(PyObject* module) {
    if (PyModule_GetState(module) != nullptr) {
        clear_tree_state(tree_state_of_module(module));
    }
    return 0;
}

void free_driftmoor_tree(void* module) {
    clear_driftmoor_tree(static_cast<PyObject*>(module));
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_driftmoor_tree)},
    // Safe to run without the interpreter lock, on a free-threaded build, as
    // long as these hold: a call reads its caller's bytes and tuples (which
    // never change) directly, and a caller's dict only under the dict's own
    // critical section, taking references of its own to what it keeps
    // (manifest_lines); the progress buffer is held for the call and only
    // ever stored to atomically; the module's types and kinds are made at
    // its exec step and never changed; the rest is shared as by driftmoor's
    // calls (one-time guards, an atomic byte, per-thread seeds).
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
