#include "Exception.h"

#include <cwchar>

namespace corvel {
namespace {

std::string narrowLow8(const wchar_t* text)
{
    std::string out;
    out.reserve(wcslen(text));
    for (; *text != L'\0'; ++text) {
        out.push_back(static_cast<char>(static_cast<unsigned char>(static_cast<uint32_t>(*text) & 0xFFu)));
    }
    return out;
}

}  // namespace

Throwable::Throwable(const char* message, int32_t code) : m_message(message != nullptr ? message : "null"), m_code(code)
{}

Throwable::Throwable(const wchar_t* message, int32_t code)
    : m_message(message != nullptr ? narrowLow8(message) : "null"), m_code(code)
{}

Throwable::~Throwable() = default;

const char* Throwable::what() const noexcept { return m_message.c_str(); }

int32_t Throwable::getCode() const { return m_code; }

Exception::Exception(const char* message, int32_t code) : Throwable(message, code) {}
Exception::Exception(const wchar_t* message, int32_t code) : Throwable(message, code) {}
Exception::~Exception() = default;

void Exception::setCause(std::shared_ptr<const std::exception> cause) { m_cause = std::move(cause); }
const std::exception* Exception::getCause() const { return m_cause.get(); }

IOException::IOException(const char* message, int32_t code) : Exception(message, code) {}
IOException::IOException(const wchar_t* message, int32_t code) : Exception(message, code) {}
IOException::~IOException() = default;

}  // namespace corvel
