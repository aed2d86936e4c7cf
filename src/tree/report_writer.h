// The report of a check or a comparison, written as the command writes it:
// a line per path and a summary, or one JSON object, in chunks of whole
// lines, with the counts and the exit status it comes to.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "tree/tree_check.h"

namespace driftmoor::tree {

inline constexpr std::size_t OMISSION_COUNT =
    static_cast<std::size_t>(walk::Omission::Vanished) + 1;

// The words a report is written in. The command chooses them; they are
// handed in, never written here.
struct ReportWords {
    // Each state as a line starts with it ("ok"), and as a JSON report names
    // it, in the summary's keys and each path's state ("passed_over").
    std::array<std::string, PATH_STATE_COUNT> states;
    std::array<std::string, PATH_STATE_COUNT> state_keys;
    // Why an entry was left out where no error says it ("dangling link").
    std::array<std::string, walk::OMISSION_KINDS> omissions;
    // Where a check kept a state: how it came by each listed file, as a
    // JSON report names it ("trusted"; none for Came::Unknown), and what
    // the summary counts of them, as text ("trusted by metadata", "read",
    // "scrubbed", "oldest full read") and as JSON keys.
    std::array<std::string, 4> came;
    std::array<std::string, 4> state_summary;
    std::array<std::string, 4> state_summary_keys;
};

struct ReportShape {
    bool json = false;
    bool quiet = false;           // no `ok` paths named
    bool verbose = false;         // passed over paths named, not only counted
    bool ignore_missing = false;  // missing paths neither named, nor counted, nor failing
    // The states the summary counts, in its order; a state not among them is
    // neither named nor counted nor a cause to fail.
    std::vector<PathState> counted;
};

// The system's message of an error, as UTF-8 text.
using ErrorText = std::function<std::string(const platform::OsError&)>;

class ReportWriter {
  public:
    // The findings, words and error text must outlive the writer.
    ReportWriter(const Findings& findings, const ReportWords& words, ReportShape shape,
                 ErrorText error_text);

    // The next part of the report, of about `size` bytes of whole lines or
    // JSON members; empty once all of it was given.
    std::string next_chunk(std::size_t size = std::size_t{64} << 10);

    // How many paths of each state the report counts (all of them, whether
    // named or not).
    std::uint64_t count(PathState state) const noexcept {
        return counts_[static_cast<std::size_t>(state)];
    }
    // 0 when every path the report covers is ok or passed over, else 1; 1 as
    // well where missing paths are ignored and none was verified, and for
    // JSON, once a path that is not UTF-8 was left out of it.
    int status() const noexcept;
    // The paths left out of a JSON report because JSON cannot hold them, in
    // order, as far as the report has been written.
    const std::vector<std::string>& not_unicode() const noexcept { return not_unicode_; }

    // Why the finding is unreadable or passed over, as its line says it:
    // the error's message, or the words for the omission; for what lies
    // below a directory that could not be listed, that directory (escaped)
    // and its reason.
    std::string reason(const Finding& finding) const;

  private:
    bool covers(PathState state) const noexcept;
    bool names(const Finding& finding) const noexcept;
    void write_line(std::string& out, const Finding& finding) const;
    void write_json_member(std::string& out, const Finding& finding);
    void write_end(std::string& out);
    void write_state_summary(std::string& out) const;

    const Findings& findings_;
    const ReportWords& words_;
    ReportShape shape_;
    ErrorText error_text_;
    std::array<std::uint64_t, PATH_STATE_COUNT> counts_{};
    Findings::Cursor cursor_;  // the next finding to write
    bool started_ = false;
    bool ended_ = false;
    bool any_member_ = false;
    std::vector<std::string> not_unicode_;
};

}  // namespace driftmoor::tree
