#include "platform/file.h"

namespace driftmoor::platform {

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
    if (this != &other) {
        close_file(std::move(*this));
        native_ = other.release();
    }
    return *this;
}

FileHandle::~FileHandle() {
    close_file(std::move(*this));
}

}  // namespace driftmoor::platform
