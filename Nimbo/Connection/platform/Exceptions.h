#pragma once

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>

namespace Nimbo::Connection {

// Base of every error the library raises; carries only its message.
class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& AMessage) : std::runtime_error(AMessage) {}
    std::string Message() const { return what(); }
};

#define NIMBO_DECLARE_EXCEPTION(Name, Base)                            \
    class Name : public Base {                                         \
    public:                                                            \
        explicit Name(const std::string& AMessage) : Base(AMessage) {} \
    }

// Conversion of text to numbers or dates failed.
NIMBO_DECLARE_EXCEPTION(EConvertError, Exception);
// A value does not have the kind the code expected ("Invalid class typecast").
NIMBO_DECLARE_EXCEPTION(EInvalidCast, Exception);
// A caller passed an argument that cannot be used.
NIMBO_DECLARE_EXCEPTION(EArgumentException, Exception);
// A programming error in the caller; always thrown, never aborts the process.
NIMBO_DECLARE_EXCEPTION(EAssertionFailed, Exception);
// Reading a binary stream failed (early end, malformed length prefix).
NIMBO_DECLARE_EXCEPTION(EReadError, Exception);
// A file could not be created, opened, read or written.
NIMBO_DECLARE_EXCEPTION(EFileError, Exception);
// HTTP-level failures the request layer detects itself.
NIMBO_DECLARE_EXCEPTION(EHttpError, Exception);
// Failures of services, saved state, sign-in and the storage model.
NIMBO_DECLARE_EXCEPTION(ERestError, Exception);
// Network, name resolution, TLS and time-out failures of the HTTP transport.
NIMBO_DECLARE_EXCEPTION(ETransportError, Exception);

#undef NIMBO_DECLARE_EXCEPTION

// The silent abort: ends an operation the user cancelled; error displays do not show it.
class EAbort : public Exception {
public:
    EAbort() : Exception("Operation aborted") {}
    explicit EAbort(const std::string& AMessage) : Exception(AMessage) {}
};

// The transport's error for a final status outside 200-299.
class EHttpProtocolError : public Exception {
public:
    EHttpProtocolError(int ACode, std::string AStatusLine, std::string AErrorMessage,
                       std::optional<std::chrono::seconds> ARetryAfter = std::nullopt)
        : Exception(std::to_string(ACode) + (AStatusLine.empty() ? "" : " " + AStatusLine)),
          FErrorCode(ACode),
          FStatusText(std::move(AStatusLine)),
          FErrorMessage(std::move(AErrorMessage)),
          FRetryAfter(ARetryAfter) {}
    // The same answer told in AMessage, for an error that knows what the answer means.
    EHttpProtocolError(int ACode, std::string AStatusLine, std::string AErrorMessage,
                       std::optional<std::chrono::seconds> ARetryAfter, const std::string& AMessage)
        : Exception(AMessage),
          FErrorCode(ACode),
          FStatusText(std::move(AStatusLine)),
          FErrorMessage(std::move(AErrorMessage)),
          FRetryAfter(ARetryAfter) {}

    // The HTTP status code of the answer.
    int ErrorCode() const { return FErrorCode; }
    // The reason phrase of the status line ("Not Found"), possibly empty.
    const std::string& StatusText() const { return FStatusText; }
    // The response body as text.
    const std::string& ErrorMessage() const { return FErrorMessage; }
    // How long the service asked the client to wait before trying again (its Retry-After header).
    std::optional<std::chrono::seconds> RetryAfter() const { return FRetryAfter; }

private:
    int FErrorCode;
    std::string FStatusText;
    std::string FErrorMessage;
    std::optional<std::chrono::seconds> FRetryAfter;
};

// Throws EAssertionFailed with AMessage (or "Assertion failure") when ACondition is false.
inline void Assert(bool ACondition, const std::string& AMessage = {}) {
    if (!ACondition) throw EAssertionFailed(AMessage.empty() ? "Assertion failure" : AMessage);
}

}  // namespace Nimbo::Connection
