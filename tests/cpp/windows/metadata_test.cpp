// The type of a metadata answer by its attribute bits (no fixture can set the
// device bit, which Windows file systems keep for themselves).
#include <windows.h>

#include <gtest/gtest.h>

#include <tuple>

#include "platform/windows/metadata_windows.h"

namespace driftmoor::platform {
namespace {

TEST(FileMetadataOfAttributes, TheDirectoryBitDecidesUnlessTheAnswerIsALink) {
    constexpr DWORD DIRECTORY = FILE_ATTRIBUTE_DIRECTORY;
    constexpr DWORD LINK = DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    for (const auto& [attributes, tag, type] : {
             std::tuple{DWORD{FILE_ATTRIBUTE_DEVICE}, DWORD{0}, FileType::Other},
             std::tuple{DIRECTORY | FILE_ATTRIBUTE_DEVICE, DWORD{0}, FileType::Directory},
             std::tuple{LINK, DWORD{IO_REPARSE_TAG_MOUNT_POINT}, FileType::Other},
             std::tuple{LINK, DWORD{IO_REPARSE_TAG_DEDUP}, FileType::Directory},
         }) {
        SCOPED_TRACE(attributes);
        EXPECT_EQ(to_file_metadata({attributes, tag, std::nullopt}).type, type);
    }
}

}  // namespace
}  // namespace driftmoor::platform
