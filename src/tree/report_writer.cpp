#include "tree/report_writer.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>

#include "platform/path_text.h"
#include "tree/path_escape.h"

namespace driftmoor::tree {
namespace {

std::size_t index_of(PathState state) noexcept {
    return static_cast<std::size_t>(state);
}

bool fails(PathState state) noexcept {
    return state != PathState::Ok && state != PathState::PassedOver;
}

void append_number(std::string& out, std::uint64_t number) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
    out.append(digits, end);
}

// A JSON string of UTF-8 text, as Python's json writes it with ensure_ascii
// off: quotes, backslashes and control characters escaped, the rest as it
// is. Bytes that are not UTF-8 become U+FFFD: JSON holds text alone.
void append_json_string(std::string& out, std::string_view text) {
    constexpr char HEX[] = "0123456789abcdef";
    out += '"';
    for (std::size_t at = 0; at < text.size();) {
        const auto byte = static_cast<unsigned char>(text[at]);
        if (byte >= 0x80) {
            std::size_t length = 2;
            while (length <= 4 && !(at + length <= text.size() &&
                                    platform::is_unicode_text(text.substr(at, length)))) {
                ++length;
            }
            if (length > 4) {
                out += "\xEF\xBF\xBD";
                ++at;
            } else {
                out += text.substr(at, length);
                at += length;
            }
            continue;
        }
        switch (byte) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            default:
                if (byte < 0x20) {
                    out += "\\u00";
                    out += HEX[byte >> 4];
                    out += HEX[byte & 0xF];
                } else {
                    out += static_cast<char>(byte);
                }
        }
        ++at;
    }
    out += '"';
}

// The time in UTC, to the second, as ISO 8601 writes it: 2026-12-08T21:47:03Z.
std::string utc_time(std::int64_t nanoseconds) {
    using namespace std::chrono;
    const sys_seconds seconds = floor<std::chrono::seconds>(
        sys_time<std::chrono::nanoseconds>(std::chrono::nanoseconds(nanoseconds)));
    const sys_days day = floor<days>(seconds);
    const year_month_day date(day);
    const hh_mm_ss time(seconds - day);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ",
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                  static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
    return text;
}

}  // namespace

void ReportWriter::write_state_summary(std::string& out) const {
    const auto counts = findings_.state_counts();
    if (!counts) {
        return;
    }
    const std::uint64_t numbers[] = {counts->trusted, counts->read, counts->scrubbed};
    for (std::size_t index = 0; index < 3; ++index) {
        out += index == 0 ? "; " : ", ";
        append_number(out, numbers[index]);
        out += ' ';
        out += words_.state_summary[index];
    }
    if (counts->oldest_read_ns != 0) {
        out += ", ";
        out += words_.state_summary[3];
        out += ' ';
        out += utc_time(counts->oldest_read_ns);
    }
}

ReportWriter::ReportWriter(const Findings& findings, const ReportWords& words, ReportShape shape,
                           ErrorText error_text)
    : findings_(findings),
      words_(words),
      shape_(std::move(shape)),
      error_text_(std::move(error_text)) {
    for (std::size_t index = 0; index < PATH_STATE_COUNT; ++index) {
        const auto state = static_cast<PathState>(index);
        counts_[index] = covers(state) ? findings_.count(state) : 0;
    }
}

bool ReportWriter::covers(PathState state) const noexcept {
    if (state == PathState::Missing && shape_.ignore_missing) {
        return false;
    }
    return std::ranges::find(shape_.counted, state) != shape_.counted.end();
}

bool ReportWriter::names(const Finding& finding) const noexcept {
    return covers(finding.state) && !(shape_.quiet && finding.state == PathState::Ok) &&
           !(finding.state == PathState::PassedOver && !shape_.verbose);
}

int ReportWriter::status() const noexcept {
    // As with `sha256sum -c --ignore-missing`: where missing files do not
    // count, a check that verified no file at all fails all the same.
    if (shape_.ignore_missing && counts_[index_of(PathState::Ok)] == 0 &&
        counts_[index_of(PathState::Changed)] == 0 && counts_[index_of(PathState::Damaged)] == 0) {
        return 1;
    }
    for (const PathState state : shape_.counted) {
        if (fails(state) && covers(state) && counts_[index_of(state)] != 0) {
            return 1;
        }
    }
    return not_unicode_.empty() ? 0 : 1;
}

std::string ReportWriter::reason(const Finding& finding) const {
    std::string text;
    if (finding.below != nullptr) {
        append_escaped(text, *finding.below);
        text += ": ";
    }
    if (finding.error != nullptr) {
        text += error_text_(*finding.error);
    } else {
        text += words_.omissions[static_cast<std::size_t>(finding.omission)];
    }
    return text;
}

void ReportWriter::write_line(std::string& out, const Finding& finding) const {
    const bool moved = finding.state == PathState::Moved;
    // As sha256sum marks a line whose name it escaped: the whole line.
    const bool escaped = needs_escape(finding.path) || (moved && needs_escape(finding.moved_to));
    const auto append_path = [&](std::string_view path) {
        if (escaped) {
            append_escaped(out, path);
        } else {
            out += path;
        }
    };
    if (escaped) {
        out += '\\';
    }
    out += words_.states[index_of(finding.state)];
    out += ": ";
    append_path(finding.path);
    if (moved) {
        out += " -> ";
        append_path(finding.moved_to);
    }
    if (finding.state == PathState::Unreadable || finding.state == PathState::PassedOver) {
        out += " (";
        out += reason(finding);
        out += ')';
    }
    out += '\n';
}

void ReportWriter::write_json_member(std::string& out, const Finding& finding) {
    if (!platform::is_unicode_text(finding.path)) {
        not_unicode_.emplace_back(finding.path);
        return;
    }
    if (finding.state == PathState::Moved && !platform::is_unicode_text(finding.moved_to)) {
        not_unicode_.emplace_back(finding.moved_to);
        return;
    }
    out += any_member_ ? ",\n    " : "\n    ";
    any_member_ = true;
    append_json_string(out, finding.path);
    out += ": {\n      \"state\": ";
    append_json_string(out, words_.state_keys[index_of(finding.state)]);
    if (finding.expected != nullptr) {
        out += ",\n      \"expected\": ";
        append_json_string(out, digest::hex_encode(*finding.expected).text());
    }
    if (finding.actual != nullptr) {
        out += ",\n      \"actual\": ";
        append_json_string(out, digest::hex_encode(*finding.actual).text());
    }
    if (finding.state == PathState::Moved) {
        out += ",\n      \"moved_to\": ";
        append_json_string(out, finding.moved_to);
    }
    if (finding.state == PathState::Unreadable || finding.state == PathState::PassedOver) {
        out += ",\n      \"reason\": ";
        append_json_string(out, reason(finding));
    }
    if (finding.came != Came::Unknown) {
        out += ",\n      \"read\": ";
        append_json_string(out, words_.came[static_cast<std::size_t>(finding.came)]);
    }
    out += "\n    }";
}

void ReportWriter::write_end(std::string& out) {
    std::vector<PathState> summed;
    for (const PathState state : shape_.counted) {
        if (covers(state)) {
            summed.push_back(state);
        }
    }
    if (!shape_.json) {
        out += "summary: ";
        for (std::size_t index = 0; index < summed.size(); ++index) {
            if (index != 0) {
                out += ", ";
            }
            append_number(out, counts_[index_of(summed[index])]);
            out += ' ';
            out += words_.states[index_of(summed[index])];
        }
        write_state_summary(out);
        out += '\n';
        return;
    }
    out += any_member_ ? "\n  },\n  \"summary\": {" : "},\n  \"summary\": {";
    for (std::size_t index = 0; index < summed.size(); ++index) {
        out += index == 0 ? "\n    " : ",\n    ";
        append_json_string(out, words_.state_keys[index_of(summed[index])]);
        out += ": ";
        append_number(out, counts_[index_of(summed[index])]);
    }
    if (const auto counts = findings_.state_counts()) {
        const std::uint64_t numbers[] = {counts->trusted, counts->read, counts->scrubbed};
        for (std::size_t index = 0; index < 3; ++index) {
            out += summed.empty() && index == 0 ? "\n    " : ",\n    ";
            append_json_string(out, words_.state_summary_keys[index]);
            out += ": ";
            append_number(out, numbers[index]);
        }
        out += ",\n    ";
        append_json_string(out, words_.state_summary_keys[3]);
        out += ": ";
        if (counts->oldest_read_ns != 0) {
            append_json_string(out, utc_time(counts->oldest_read_ns));
        } else {
            out += "null";
        }
        summed.push_back(PathState::Ok);  // the summary is not empty
    }
    out += summed.empty() ? "},\n  \"status\": " : "\n  },\n  \"status\": ";
    append_number(out, static_cast<std::uint64_t>(status()));
    out += "\n}\n";
}

std::string ReportWriter::next_chunk(std::size_t size) {
    std::string out;
    if (ended_) {
        return out;
    }
    if (shape_.json && !started_) {
        out += "{\n  \"paths\": {";
    }
    started_ = true;
    while (out.size() < size) {
        const auto finding = findings_.next(cursor_);
        if (!finding) {
            write_end(out);
            ended_ = true;
            break;
        }
        if (!names(*finding)) {
            continue;
        }
        if (shape_.json) {
            write_json_member(out, *finding);
        } else {
            write_line(out, *finding);
        }
    }
    return out;
}

}  // namespace driftmoor::tree
