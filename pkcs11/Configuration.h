#pragma once
#include <string>

namespace vexa::pkcs11 {

class CContext;

constexpr const char* kConfigFileName = "vexaconfig.json";

// The directory (with a trailing "/") to read fileName from: the working
// directory when the file is there, else homeDir + "/.vexa/" when the file is
// there, else "/usr/local/etc/vexa/".
std::string findConfigDir(const std::string& fileName, const std::string& homeDir);
// As above with the user's home directory.
std::string findConfigDir(const std::string& fileName);
// The home directory of the real user from the password database, else $HOME.
std::string userHomeDir();

// Reads configDir + "vexaconfig.json" into the context. A missing file keeps
// every default; an error keeps what was applied before it.
void loadConfiguration(CContext& context, const std::string& configDir);

}  // namespace vexa::pkcs11
