#include "binding/tree_names.h"

#include "binding/int_enum.h"
#include "platform/metadata.h"
#include "tree/listed_manifest.h"
#include "tree/tree_check.h"
#include "walk/directory_walk.h"

namespace driftmoor::binding {
namespace {

// One table beside each enum it names, in the order of its values, so that
// a kind added there fails to build until it is named here.
template <class Enum>
constexpr int value(Enum member) {
    return static_cast<int>(member);
}

using walk::Omission;
constexpr EnumMember LEFT_OUT_KINDS[] = {
    {value(Omission::UnreadableFile), "UNREADABLE_FILE"},
    {value(Omission::UnlistableDirectory), "UNLISTABLE_DIRECTORY"},
    {value(Omission::UnknownEntry), "UNKNOWN_ENTRY"},
    {value(Omission::DanglingLink), "DANGLING_LINK"},
    {value(Omission::SpecialFile), "SPECIAL_FILE"},
    {value(Omission::Loop), "LOOP"},
    {value(Omission::NotUnicode), "NOT_UNICODE"},
    {value(Omission::Excluded), "EXCLUDED"},
    {value(Omission::Vanished), "VANISHED"},
    {value(Omission::LinkOutOfTree), "LINK_OUT_OF_TREE"},
    {value(Omission::LinkNotFollowed), "LINK_NOT_FOLLOWED"},
    {value(Omission::OtherFileSystem), "OTHER_FILE_SYSTEM"},
};
static_assert(in_value_order(LEFT_OUT_KINDS));
static_assert(std::size(LEFT_OUT_KINDS) == walk::OMISSION_KINDS);

using platform::FileType;
constexpr EnumMember ROOT_KINDS[] = {
    {value(FileType::Directory), "DIRECTORY"},
    {value(FileType::RegularFile), "FILE"},
    {value(FileType::Other), "OTHER"},
};
static_assert(in_value_order(ROOT_KINDS));

using tree::ManifestFault;
constexpr EnumMember MANIFEST_FAULTS[] = {
    {value(ManifestFault::LineTooLong), "LINE_TOO_LONG"},
    {value(ManifestFault::NotALine), "NOT_A_LINE"},
    {value(ManifestFault::NotABsdLine), "NOT_A_BSD_LINE"},
    {value(ManifestFault::NotADigest), "NOT_A_DIGEST"},
    {value(ManifestFault::BadEscape), "BAD_ESCAPE"},
    {value(ManifestFault::ListedTwice), "LISTED_TWICE"},
};
static_assert(in_value_order(MANIFEST_FAULTS));

using tree::PathState;
constexpr EnumMember PATH_STATES[] = {
    {value(PathState::Ok), "OK"},
    {value(PathState::Changed), "CHANGED"},
    {value(PathState::Damaged), "DAMAGED"},
    {value(PathState::Moved), "MOVED"},
    {value(PathState::Missing), "MISSING"},
    {value(PathState::Added), "ADDED"},
    {value(PathState::Unreadable), "UNREADABLE"},
    {value(PathState::PassedOver), "PASSED_OVER"},
};
static_assert(in_value_order(PATH_STATES));
static_assert(std::size(PATH_STATES) == tree::PATH_STATE_COUNT);

using tree::Came;
constexpr EnumMember CAME[] = {
    {value(Came::Unknown), "UNKNOWN"},
    {value(Came::Trusted), "TRUSTED"},
    {value(Came::Read), "READ"},
    {value(Came::Scrubbed), "SCRUBBED"},
};
static_assert(in_value_order(CAME));

using walk::LinkRule;
constexpr EnumMember LINK_RULES[] = {
    {value(LinkRule::All), "ALL"},
    {value(LinkRule::Inside), "INSIDE"},
    {value(LinkRule::None), "NONE"},
};
static_assert(in_value_order(LINK_RULES));

}  // namespace

Outcome<void> add_tree_enums(PyObject* module, TreeModuleState& state) {
    const struct {
        const char* name;
        std::span<const EnumMember> members;
        PyObject*& kept;
    } enums[] = {
        {"LeftOutKind", LEFT_OUT_KINDS, state.left_out_kinds},
        {"RootKind", ROOT_KINDS, state.root_kinds},
        {"ManifestFault", MANIFEST_FAULTS, state.manifest_faults},
        {"PathState", PATH_STATES, state.path_states},
        {"Came", CAME, state.came},
        {"LinkRule", LINK_RULES, state.link_rules},
    };
    for (const auto& made : enums) {
        auto members = add_int_enum(module, made.name, made.members);
        if (!members) {
            return std::unexpected(std::move(members).error());
        }
        made.kept = members->release();
    }
    return {};
}

}  // namespace driftmoor::binding
