#include "platform/listing.h"

#include "platform/fixed_texts.h"

namespace driftmoor::platform {

OsError not_a_regular_file() noexcept {
    return OsError::static_message(ErrorKind::InvalidInputParameter, NOT_A_REGULAR_FILE);
}

bool refuses_non_regular_file(const OsError& error) noexcept {
    const auto* refusal = std::get_if<OsError::StaticMessage>(&error.variant());
    return refusal != nullptr && refusal->kind == ErrorKind::InvalidInputParameter &&
           refusal->message == NOT_A_REGULAR_FILE;
}

}  // namespace driftmoor::platform
