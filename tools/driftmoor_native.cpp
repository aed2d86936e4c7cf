// The module's core as a console program, with no Python in it: the same
// digests and manifests on every platform the core builds for, so a Windows
// build can be checked against the Linux one, by the tests or by hand.
//
//   driftmoor_native hash FILE        prints FILE's digest
//   driftmoor_native manifest DIR     prints "<digest>  <key>" per file, sorted
//                                     by key (bytes, so code points)
//   driftmoor_native table-key        prints the hashing key of a new manifest
//                                     table, "<k0> <k1>" in hexadecimal: drawn
//                                     afresh from the random source per run
//
// Keys are written as the manifest holds them, unescaped. On failure the
// error's display text goes to standard error and the exit status is 1; a
// usage error exits with 2.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "digest/file_digest.h"
#include "manifest/directory_manifest.h"
#include "manifest/manifest_table.h"
#include "platform/os_error.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>

#include "platform/windows/wide_text.h"
#endif

namespace {

using driftmoor::platform::error_text;

constexpr int FAILED = 1;
constexpr int USAGE = 2;

void write_out(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
}

int fail(std::string_view message) {
    std::fwrite(message.data(), 1, message.size(), stderr);
    std::fputc('\n', stderr);
    return FAILED;
}

int print_hash(std::string_view path) {
    auto digest = driftmoor::digest::calculate_file_hash(path);
    if (!digest) {
        return fail(error_text(digest.error()));
    }
    write_out(digest->text());
    write_out("\n");
    return 0;
}

int print_manifest(std::string_view dir_path) {
    auto table = driftmoor::manifest::calculate_manifest(dir_path);
    if (!table) {
        if (const auto* error = std::get_if<driftmoor::platform::OsError>(&table.error())) {
            return fail(error_text(*error));
        }
        return fail("The specified directory does not exist");
    }
    std::vector<std::pair<std::string, driftmoor::digest::FileDigest>> lines;
    lines.reserve(table->size());
    table->drain([&](std::string_view key, const driftmoor::digest::FileDigest& digest) {
        lines.emplace_back(key, digest);
        return true;
    });
    // Keys are unique, so the key alone orders the lines.
    std::ranges::sort(lines, {}, &std::pair<std::string, driftmoor::digest::FileDigest>::first);
    std::string out;
    for (const auto& [key, digest] : lines) {
        out.append(digest.text()).append("  ").append(key).push_back('\n');
    }
    write_out(out);
    return 0;
}

int print_table_key() {
    auto table = driftmoor::manifest::ManifestTable::create();
    if (!table) {
        return fail(error_text(table.error()));
    }
    const auto key = table->hashing_key();
    std::printf("%016" PRIx64 " %016" PRIx64 "\n", key.k0, key.k1);
    return 0;
}

int run(const std::vector<std::string>& arguments) {
    if (arguments.size() == 3 && arguments[1] == "hash") {
        return print_hash(arguments[2]);
    }
    if (arguments.size() == 3 && arguments[1] == "manifest") {
        return print_manifest(arguments[2]);
    }
    if (arguments.size() == 2 && arguments[1] == "table-key") {
        return print_table_key();
    }
    std::fputs("usage: driftmoor_native hash FILE | manifest DIR | table-key\n", stderr);
    return USAGE;
}

}  // namespace

#ifdef _WIN32
// The wide entry point sees arguments exactly as given, any name included;
// the narrow one would pass them through the console's code page.
int wmain(int argc, wchar_t** argv) {
    // Bytes out as they are: no line-ending translation.
    _setmode(_fileno(stdout), _O_BINARY);
    std::vector<std::string> arguments;
    for (int index = 0; index < argc; ++index) {
        arguments.push_back(driftmoor::platform::utf16_to_wtf8(argv[index]));
    }
    return run(arguments);
}
#else
int main(int argc, char** argv) {
    return run(std::vector<std::string>(argv, argv + argc));
}
#endif
