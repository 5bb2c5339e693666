#pragma once
#include <exception>
#include <string>

namespace corvel {

// What went wrong in a transport call. The daemon and the library act on the
// kind, never on the message text, which is for log lines.
enum class TransportFailure {
    Unreachable,    // open could not reach the token or the daemon
    TimedOut,       // no whole reply within the time-out
    BrokenFraming,  // the bytes do not form a message of the framing, or the
                    // token reported a framing error of its own
    TooLong,        // a request the framing cannot carry, or a reply longer
                    // than the caller's buffer
    Closed,         // not open, or the device or connection went away
};

// Base of the transport layer's exceptions: a byte-string message.
class Throwable : public std::exception {
public:
    // A null message becomes "null".
    explicit Throwable(const char* message);
    // Wide text (the HID layer's error strings): one byte per character, the
    // low 8 bits of it.
    explicit Throwable(const wchar_t* message);
    ~Throwable() override;

    const char* what() const noexcept override;

private:
    std::string m_message;
};

class Exception : public Throwable {
public:
    using Throwable::Throwable;
    ~Exception() override;
};

// The class every failure of a transport is thrown as, with its kind.
class IOException : public Exception {
public:
    IOException(TransportFailure failure, const char* message);
    IOException(TransportFailure failure, const wchar_t* message);
    IOException(TransportFailure failure, const std::string& message);
    ~IOException() override;

    TransportFailure failure() const noexcept { return m_failure; }

private:
    TransportFailure m_failure;
};

}  // namespace corvel
