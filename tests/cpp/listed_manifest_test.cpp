// A manifest read as sha256sum -c reads it: each form of line, each way a
// line is refused, spellings of one path, the order of the files, and a
// stream read in pieces of any size.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tree/listed_manifest.h"
#include "tree/path_spelling.h"

namespace driftmoor::tree {
namespace {

const std::string D = std::string(64, 'a');
const std::string U = std::string(64, 'A');

struct Read {
    std::vector<std::pair<std::string, std::string>> files;  // path, digest
    std::optional<ManifestProblem> problem;
};

Read read_all(std::string_view text, std::size_t piece = std::string::npos) {
    ListedManifest manifest;
    Read result;
    for (std::size_t at = 0; at < text.size() && !result.problem; at += piece) {
        result.problem = manifest.read(text.substr(at, piece));
    }
    if (!result.problem) {
        result.problem = manifest.finish_reading();
    }
    if (!result.problem) {
        result.problem = manifest.seal();
    }
    for (const walk::FileRecord* file : manifest.files()) {
        result.files.emplace_back(file->key(), file->digest().text());
    }
    return result;
}

struct LineCase {
    const char* what;
    std::string text;
    std::vector<std::pair<std::string, std::string>> files;
};

TEST(ListedManifestTest, EachFormOfLineGivesItsPath) {
    const LineCase cases[] = {
        {"two spaces", D + "  a.txt\n", {{"a.txt", D}}},
        {"binary mark", D + " *a.txt\n", {{"a.txt", D}}},
        {"a tab, then the mark", D + "\t a.txt\n", {{"a.txt", D}}},
        {"one blank throughout", D + " a.txt\n" + D + "\tb\n", {{"a.txt", D}, {"b", D}}},
        // As sha256sum reads it: once lines are of that form, what follows
        // the blank is the name, a second blank included.
        {"two blanks after one", D + " a\n" + D + "  b\n", {{" b", D}, {"a", D}}},
        {"upper case digits", U + "  a\n", {{"a", D}}},
        {"no final line feed", D + "  a", {{"a", D}}},
        {"CR line ends", D + "  a\r\n" + D + "  b\r\n", {{"a", D}, {"b", D}}},
        {"blanks before", " \t" + D + "  a\n", {{"a", D}}},
        {"comments and empty lines", "# x\n\n  \n" + D + "  a\n", {{"a", D}}},
        {"blanks kept in the name", D + "   a \n", {{" a ", D}}},
        {"escaped", "\\" + D + "  a\\\\b\\nc\\rd\n", {{"a\\b\nc\rd", D}}},
        {"bsd", "SHA256 (a.txt) = " + D + "\n", {{"a.txt", D}}},
        {"bsd without blanks", "SHA256(a)=" + D + "\n", {{"a", D}}},
        {"bsd with a ) in the name", "SHA256 (a) b) = " + D + "\n", {{"a) b", D}}},
        {"bsd escaped", "\\SHA256 (a\\nb) = " + D + "\n", {{"a\nb", D}}},
        {"both forms", "SHA256 (b) = " + D + "\n" + D + "  a\n", {{"a", D}, {"b", D}}},
        {"names not UTF-8", D + "  caf\xe9\n", {{"caf\xe9", D}}},
        {"spellings made plain",
         D + "  d//a\n" + D + "  ./d/./b\n" + D + "  /x//y\n",
         {{"/x/y", D}, {"d/a", D}, {"d/b", D}}},
    };
    for (const LineCase& line : cases) {
        const Read read = read_all(line.text);
        EXPECT_FALSE(read.problem.has_value()) << line.what;
        EXPECT_EQ(read.files, line.files) << line.what;
    }
}

struct RefusedCase {
    const char* what;
    std::string text;
    ManifestFault fault;
    std::uint64_t line;
};

TEST(ListedManifestTest, EachRefusedLineSaysWhyAndWhere) {
    const RefusedCase cases[] = {
        {"no path", D + "\n", ManifestFault::NotALine, 1},
        {"no path after the blank", "\n" + D + " \n", ManifestFault::NotALine, 2},
        {"a short digest", std::string(63, 'a') + "  a\n", ManifestFault::NotADigest, 1},
        {"a long digest", std::string(65, 'a') + "  a\n", ManifestFault::NotADigest, 1},
        {"not hex", std::string(63, 'a') + "g  a\n", ManifestFault::NotADigest, 1},
        {"one blank after two", D + "  a\n" + D + " b\n", ManifestFault::NotALine, 2},
        {"bsd without its =", "SHA256 (a) " + D + "\n", ManifestFault::NotABsdLine, 1},
        {"bsd without a path", "SHA256 () = " + D + "\n", ManifestFault::NotABsdLine, 1},
        {"bsd, a short digest", "SHA256 (a) = abc\n", ManifestFault::NotADigest, 1},
        {"another escape", "\\" + D + "  a\\tb\n", ManifestFault::BadEscape, 1},
        {"an escape cut short", "\\" + D + "  a\\\n", ManifestFault::BadEscape, 1},
        {"a line past the limit",
         D + "  " + std::string(ListedManifest::MAX_LINE_LENGTH, 'x') + "\n",
         ManifestFault::LineTooLong, 1},
        {"no line feed at all", std::string(ListedManifest::MAX_LINE_LENGTH + 1, '\0'),
         ManifestFault::LineTooLong, 1},
    };
    for (const RefusedCase& refused : cases) {
        const Read read = read_all(refused.text);
        ASSERT_TRUE(read.problem.has_value()) << refused.what;
        EXPECT_EQ(read.problem->fault, refused.fault) << refused.what;
        EXPECT_EQ(read.problem->line, refused.line) << refused.what;
    }
}

TEST(ListedManifestTest, APathListedTwiceByAnySpellingNamesItsFirstSecondLine) {
    const Read read = read_all(D + "  x\n" + D + "  d/a\n" + D + "  y\n" + D + "  d//a\n" + D +
                               "  x\n" + D + "  ./d/a\n");
    ASSERT_TRUE(read.problem.has_value());
    EXPECT_EQ(read.problem->fault, ManifestFault::ListedTwice);
    EXPECT_EQ(read.problem->path, "d/a");
    EXPECT_EQ(read.problem->line, 4u);
    EXPECT_EQ(read.problem->first_line, 2u);
}

TEST(ListedManifestTest, FilesComeInTheOrderOfTheirBytesWhateverThePiecesRead) {
    std::string text;
    for (const char* path : {"b", "caf\xc3\xa9", "a/z", "caf\xa9", "a", "\\\\n"}) {
        text += std::string(path).starts_with('\\') ? "\\" + D + "  " + path + "\n"
                                                    : D + "  " + path + "\n";
    }
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"\\n", D}, {"a", D}, {"a/z", D}, {"b", D}, {"caf\xa9", D}, {"caf\xc3\xa9", D}};
    for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{64}, text.size()}) {
        const Read read = read_all(text, piece);
        EXPECT_FALSE(read.problem.has_value()) << piece;
        EXPECT_EQ(read.files, expected) << "pieces of " << piece;
    }
}

TEST(PathSpellingTest, OnePlainSpellingPerPath) {
    const std::pair<const char*, const char*> cases[] = {
        {"a", "a"},    {"a//b", "a/b"},      {"./a", "a"},  {"a/./b/.", "a/b"}, {"/a//b", "/a/b"},
        {"//a", "/a"}, {"a/", "a/"},         {"a//", "a/"}, {".", "."},         {"./", "."},
        {"/", "/"},    {"a/../b", "a/../b"}, {"", ""},
    };
    for (const auto& [path, plain] : cases) {
        EXPECT_EQ(plain_spelling(path), plain) << path;
    }
    EXPECT_EQ(shared_directory("t/a/x", "t/a/y"), "t/a/");
    EXPECT_EQ(shared_directory("t/ab", "t/ac"), "t/");
    EXPECT_EQ(shared_directory("a", "b"), "");
    EXPECT_EQ(shared_directory("/a/x", "/b/y"), "/");
}

}  // namespace
}  // namespace driftmoor::tree
