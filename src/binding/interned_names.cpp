#include "binding/interned_names.h"

#include <string_view>

#include "binding/conversions.h"
#include "binding/once.h"

namespace driftmoor::binding {
namespace {

PyObject* interned(OnceObject& slot, std::string_view text) {
    return slot.get([text] {
        PyObject* name = text_to_str(text).release();
        PyUnicode_InternInPlace(&name);
        return name;
    });
}

OnceObject dunder_name;
OnceObject dunder_all;
OnceObject add_note;

}  // namespace

PyObject* name_dunder_name() {
    return interned(dunder_name, "__name__");
}
PyObject* name_dunder_all() {
    return interned(dunder_all, "__all__");
}
PyObject* name_add_note() {
    return interned(add_note, "add_note");
}

}  // namespace driftmoor::binding
