// What each driftmoor_tree module object keeps: the types and kinds its exec
// step made, each owned, null until then.
#pragma once

#include "binding/python.h"

namespace driftmoor::binding {

struct TreeModuleState {
    PyObject* tree_walk_type;          // the TreeWalk structure sequence
    PyObject* manifest_problem_type;   // the ManifestProblem structure sequence
    PyObject* listed_manifest_type;    // ListedManifest
    PyObject* findings_type;           // Findings
    PyObject* report_type;             // Report
    PyObject* findings_iterator_type;  // the iterator of Findings
    PyObject* trust_table_type;        // TrustTable
    // The members of each enum, in value order (tuples).
    PyObject* left_out_kinds;   // LeftOutKind
    PyObject* root_kinds;       // RootKind
    PyObject* manifest_faults;  // ManifestFault
    PyObject* path_states;      // PathState
    PyObject* came;             // Came
    PyObject* link_rules;       // LinkRule
};

// The state of the module that `object`'s type was made by, or of `module`.
TreeModuleState& tree_state_of_module(PyObject* module) noexcept;
TreeModuleState& tree_state_of_type(PyTypeObject* type) noexcept;

// Visits or clears every object the state holds.
int traverse_tree_state(TreeModuleState& state, visitproc visit, void* arg);
void clear_tree_state(TreeModuleState& state);

}  // namespace driftmoor::binding
