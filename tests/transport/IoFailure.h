#pragma once
// What a transport call reported: the kind and message of its IOException.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "Exception.h"

namespace vexa::test {

struct IoFailure {
    corvel::TransportFailure kind;
    std::string message;
    bool operator==(const IoFailure& other) const { return kind == other.kind && message == other.message; }
};

inline const char* kindName(corvel::TransportFailure kind)
{
    switch (kind) {
    case corvel::TransportFailure::Unreachable:
        return "Unreachable";
    case corvel::TransportFailure::TimedOut:
        return "TimedOut";
    case corvel::TransportFailure::BrokenFraming:
        return "BrokenFraming";
    case corvel::TransportFailure::TooLong:
        return "TooLong";
    case corvel::TransportFailure::Closed:
        return "Closed";
    }
    return "?";
}

inline void PrintTo(const IoFailure& failure, std::ostream* out)
{
    *out << kindName(failure.kind) << " \"" << failure.message << "\"";
}

// The IOException that action throws; a test failure when it throws none.
template <typename Action>
IoFailure ioFailure(Action action)
{
    try {
        action();
    } catch (const corvel::IOException& error) {
        return IoFailure{error.failure(), error.what()};
    }
    ADD_FAILURE() << "no IOException";
    return IoFailure{corvel::TransportFailure::Closed, "(none)"};
}

constexpr auto Unreachable = corvel::TransportFailure::Unreachable;
constexpr auto TimedOut = corvel::TransportFailure::TimedOut;
constexpr auto BrokenFraming = corvel::TransportFailure::BrokenFraming;
constexpr auto TooLong = corvel::TransportFailure::TooLong;
constexpr auto Closed = corvel::TransportFailure::Closed;

}  // namespace vexa::test
