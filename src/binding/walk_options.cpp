#include "binding/walk_options.h"

#include <cstdint>

namespace driftmoor::binding {
namespace {

// The (st_dev, st_ino) pair of a file to pass over.
Outcome<std::optional<platform::FileIdentity>> excluded_identity(PyObject* exclude) {
    if (exclude == nullptr || exclude == Py_None) {
        return std::nullopt;
    }
    unsigned long long device = 0;
    unsigned long long inode = 0;
    if (!PyTuple_Check(exclude) || !PyArg_ParseTuple(exclude, "KK", &device, &inode)) {
        PyErr_Clear();
        return std::unexpected(FailureValue::with_message(
            PyExc_TypeError, "exclude must be a (st_dev, st_ino) tuple"));
    }
    return platform::FileIdentity{device, inode};
}

// Where the walk keeps its counts: the first 64-bit word of a writable
// buffer for the files read, the second, when it has one, for their bytes.
Outcome<void> progress_counters(PyObject* progress, HeldBuffer& buffer,
                                tree::AccountOptions& options) {
    if (progress == nullptr || progress == Py_None) {
        return {};
    }
    if (auto held = buffer.hold(progress); !held) {
        return held;
    }
    if (buffer.size() < sizeof(std::uint64_t) ||
        reinterpret_cast<std::uintptr_t>(buffer.data()) % alignof(std::uint64_t) != 0) {
        return std::unexpected(
            value_error("progress must be a writable buffer of at least 8 aligned bytes"));
    }
    auto* words = static_cast<std::uint64_t*>(buffer.data());
    options.files_done = words;
    if (buffer.size() >= 2 * sizeof(std::uint64_t)) {
        options.bytes_done = words + 1;
    }
    return {};
}

Outcome<walk::LinkRule> link_rule(PyObject* links, walk::LinkRule default_links) {
    if (links == nullptr || links == Py_None) {
        return default_links;
    }
    const long value = PyLong_Check(links) ? PyLong_AsLong(links) : -1;
    if (value < 0 || value > static_cast<long>(walk::LinkRule::None)) {
        PyErr_Clear();
        return std::unexpected(value_error("links must be a LinkRule"));
    }
    return static_cast<walk::LinkRule>(value);
}

}  // namespace

Outcome<void> HeldBuffer::hold(PyObject* object) {
    if (auto taken = checked_status(PyObject_GetBuffer(object, &view_, PyBUF_WRITABLE)); !taken) {
        return taken;
    }
    held_ = true;
    return {};
}

FailureValue value_error(std::string message) {
    return FailureValue::with_message(PyExc_ValueError, std::move(message));
}

Outcome<void> take_walk_arguments(const WalkArguments& arguments, walk::LinkRule default_links,
                                  tree::AccountOptions& options, HeldBuffer& progress_buffer) {
    if (arguments.jobs < 1 || arguments.jobs > MOST_JOBS) {
        return std::unexpected(value_error("jobs must be at least 1 and at most 1024"));
    }
    options.jobs = static_cast<std::size_t>(arguments.jobs);
    auto excluded = excluded_identity(arguments.exclude);
    if (!excluded) {
        return std::unexpected(std::move(excluded).error());
    }
    options.excluded_file = *excluded;
    auto links = link_rule(arguments.links, default_links);
    if (!links) {
        return std::unexpected(std::move(links).error());
    }
    options.bounds.links = *links;
    options.bounds.one_file_system = arguments.one_file_system != 0;
    return progress_counters(arguments.progress, progress_buffer, options);
}

}  // namespace driftmoor::binding
