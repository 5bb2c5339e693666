#pragma once
#include <cstdint>
#include <exception>
#include <memory>
#include <string>

namespace corvel {

// Base of the transport layer's exceptions: a byte-string message and a code.
class Throwable : public std::exception {
public:
    // A null message becomes "null".
    Throwable(const char* message, int32_t code);
    // Wide text (the HID layer's error strings): one byte per character, the
    // low 8 bits of it.
    Throwable(const wchar_t* message, int32_t code);
    ~Throwable() override;

    const char* what() const noexcept override;
    virtual int32_t getCode() const;

private:
    std::string m_message;
    int32_t m_code;
};

// Adds an optional cause; nothing in the system sets one today.
class Exception : public Throwable {
public:
    Exception(const char* message, int32_t code);
    Exception(const wchar_t* message, int32_t code);
    ~Exception() override;

    void setCause(std::shared_ptr<const std::exception> cause);
    const std::exception* getCause() const;

private:
    std::shared_ptr<const std::exception> m_cause;
};

// The class every failure of the transport layer is thrown as.
class IOException : public Exception {
public:
    explicit IOException(const char* message, int32_t code = -1);
    explicit IOException(const wchar_t* message, int32_t code = -1);
    ~IOException() override;
};

}  // namespace corvel
