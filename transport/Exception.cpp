#include "Exception.h"

#include <cstdint>
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

Throwable::Throwable(const char* message) : m_message(message != nullptr ? message : "null") {}

Throwable::Throwable(const wchar_t* message) : m_message(message != nullptr ? narrowLow8(message) : "null") {}

Throwable::~Throwable() = default;

const char* Throwable::what() const noexcept { return m_message.c_str(); }

Exception::~Exception() = default;

IOException::IOException(TransportFailure failure, const char* message) : Exception(message), m_failure(failure) {}

IOException::IOException(TransportFailure failure, const wchar_t* message) : Exception(message), m_failure(failure) {}

IOException::IOException(TransportFailure failure, const std::string& message)
    : Exception(message.c_str()), m_failure(failure)
{}

IOException::~IOException() = default;

}  // namespace corvel
