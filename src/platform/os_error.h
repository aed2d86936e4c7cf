// The error value of every file-system operation, and its classification.
// Plain C++: the binding chooses the Python exception for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

namespace driftmoor::platform {

// Failure categories, in a fixed order that the tables below follow.
enum class ErrorKind : std::uint8_t {
    EntityNotFound,
    PermissionDenied,
    ConnectionRefused,
    ConnectionReset,
    HostUnreachable,
    NetworkUnreachable,
    ConnectionAborted,
    NotConnected,
    AddressInUse,
    AddressNotAvailable,
    NetworkDown,
    BrokenPipe,
    EntityAlreadyExists,
    OperationWouldBlock,
    NotADirectory,
    IsADirectory,
    DirectoryNotEmpty,
    ReadOnlyFilesystem,
    FilesystemLoop,
    StaleNetworkFileHandle,
    InvalidInputParameter,
    InvalidData,
    TimedOut,
    WriteZero,
    NoStorageSpace,
    SeekOnUnseekableFile,
    QuotaExceeded,
    FileTooLarge,
    ResourceBusy,
    ExecutableFileBusy,
    Deadlock,
    CrossDeviceLinkOrRename,
    TooManyLinks,
    InvalidFilename,
    ArgumentListTooLong,
    OperationInterrupted,
    Unsupported,
    UnexpectedEndOfFile,
    OutOfMemory,
    InProgress,
    OtherError,
    UncategorizedError,
};

inline constexpr std::size_t ERROR_KIND_COUNT = 42;

// The display text of a simple-kind error, e.g. "entity not found".
std::string_view kind_description(ErrorKind kind) noexcept;

// The payload of a custom error: an object that knows its own display text.
// Subclasses may carry more (the module boundary wraps a Python exception in
// one); the error that holds it owns it.
class CustomErrorObject {
  public:
    virtual ~CustomErrorObject() = default;
    virtual std::string display_text() const = 0;
};

// A failed operation's error. Small, moved rather than shared; its kind and
// text are worked out only when asked for.
class OsError {
  public:
    struct OsCode {
        std::int32_t code;  // exactly as the platform gave it
    };
    struct SimpleKind {
        ErrorKind kind;
    };
    struct StaticMessage {
        ErrorKind kind;
        std::string_view message;  // lives for the whole program
    };
    struct Custom {
        ErrorKind kind;
        std::unique_ptr<CustomErrorObject> object;  // owned, never null
    };
    using Variant = std::variant<OsCode, SimpleKind, StaticMessage, Custom>;

    static OsError from_os_code(std::int32_t code) noexcept { return OsError(OsCode{code}); }
    static OsError simple(ErrorKind kind) noexcept { return OsError(SimpleKind{kind}); }
    // `message` must be static text (a literal).
    static OsError static_message(ErrorKind kind, std::string_view message) noexcept {
        return OsError(StaticMessage{kind, message});
    }
    static OsError custom(ErrorKind kind, std::unique_ptr<CustomErrorObject> object) noexcept {
        return OsError(Custom{kind, std::move(object)});
    }

    OsError(OsError&&) noexcept = default;
    OsError& operator=(OsError&&) noexcept = default;

    const Variant& variant() const noexcept { return variant_; }
    Variant& variant() noexcept { return variant_; }

  private:
    explicit OsError(Variant variant) noexcept : variant_(std::move(variant)) {}
    Variant variant_;
};

// The result of an operation that can fail with an OsError.
template <class T>
using OsResult = std::expected<T, OsError>;

ErrorKind error_kind(const OsError& error) noexcept;

// The display text: for an OS code, "<system message> (os error <code>)".
std::string error_text(const OsError& error);

// How the bytes of a display text are to be read.
enum class TextEncoding : std::uint8_t {
    Utf8,
    // As the C library writes text in its current locale (LC_CTYPE), which
    // may be an 8-bit or multibyte encoding other than UTF-8: the system
    // messages on Linux, translated and encoded for the locale.
    Locale,
};
TextEncoding error_text_encoding(const OsError& error) noexcept;

// Drops trailing spaces, tabs, line feeds, form feeds and carriage returns
// from a message; other whitespace, and whitespace before the end, stays.
std::string_view trim_message_end(std::string_view message) noexcept;

// Implemented once per platform:
// The kind of a platform error code; every code has one.
ErrorKind decode_os_code(std::int32_t code) noexcept;
// The platform's message text for an error code, end trimmed.
std::string system_message(std::int32_t code);
// The encoding of every system_message text.
TextEncoding system_message_encoding() noexcept;
// True when the error says the process or the system ran out of something
// (descriptors, memory) rather than anything about the file asked for. A
// caller that quietly leaves out files it cannot read must not leave a file
// out for such an error: the file may be perfectly readable.
bool exhausts_resources(const OsError& error) noexcept;

}  // namespace driftmoor::platform
