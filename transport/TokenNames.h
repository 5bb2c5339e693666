#pragma once
// Token serial numbers and the names of the daemon's token sockets, shared by
// the daemon that makes them, the library that lists them and vexa-tool that
// checks them.
#include <string>
#include <string_view>

namespace corvel {

// "vexa." + the serial in upper case + ".sock". Serial numbers are compared
// without regard to case, so each token has exactly one socket name, and it
// is the one the library builds from its upper-case serial text.
std::string tokenSocketName(std::string_view serial);

// Whether name is exactly a token socket's name for a serial of 12 hexadecimal
// digits: "vexa." + 12 digits 0-9 or A-F + ".sock".
bool isTokenSocketName(std::string_view name);

// Whether two serial numbers name the same token: equal but for the case of
// their letters.
bool sameSerial(std::string_view a, std::string_view b);

}  // namespace corvel
