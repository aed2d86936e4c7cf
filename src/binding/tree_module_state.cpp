#include "binding/tree_module_state.h"

#include <initializer_list>

namespace driftmoor::binding {
namespace {

// Every object the state holds, for visiting and clearing alike.
template <class Each>
void each_held(TreeModuleState& state, Each&& each) {
    for (PyObject** held :
         {&state.tree_walk_type, &state.manifest_problem_type, &state.listed_manifest_type,
          &state.findings_type, &state.report_type, &state.findings_iterator_type,
          &state.trust_table_type, &state.left_out_kinds, &state.root_kinds, &state.manifest_faults,
          &state.path_states, &state.came, &state.link_rules}) {
        each(held);
    }
}

}  // namespace

TreeModuleState& tree_state_of_module(PyObject* module) noexcept {
    return *static_cast<TreeModuleState*>(PyModule_GetState(module));
}

TreeModuleState& tree_state_of_type(PyTypeObject* type) noexcept {
    return *static_cast<TreeModuleState*>(PyType_GetModuleState(type));
}

int traverse_tree_state(TreeModuleState& state, visitproc visit, void* arg) {
    int visited = 0;
    each_held(state, [&](PyObject** held) {
        if (visited == 0 && *held != nullptr) {
            visited = visit(*held, arg);
        }
    });
    return visited;
}

void clear_tree_state(TreeModuleState& state) {
    each_held(state, [](PyObject** held) { Py_CLEAR(*held); });
}

}  // namespace driftmoor::binding
