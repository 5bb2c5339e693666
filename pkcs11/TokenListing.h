#pragma once
// What the library sees of the tokens it may reach, shared with vexa-tool's
// doctor so that both see the same.
#include <cstdint>
#include <string>
#include <vector>

#include "ILogTarget.h"
#include "LibrarySettings.h"
#include "SerialId.h"
#include "TlsClientConnection.h"

namespace vexa::pkcs11 {

// Serial ids of the HID tokens with the ids: those with 12-character serial
// numbers, in the order of their text, as the daemon's are.
std::vector<SerialId> listHidTokens(uint16_t vid, uint16_t pid);
// Serial ids of the daemon's sockets in sockdir ("vexa." + 12 upper-case
// hexadecimal digits + ".sock"), in the order of their text; a directory
// that cannot be read is logged and lists none.
std::vector<SerialId> listSocketTokens(const std::string& sockdir, corvel::ILogTarget& log);
// sockdir + "/vexa." + serial + ".sock": where the daemon serves the token.
std::string socketPath(const std::string& sockdir, SerialId serial);
// What the TLS transport is given: the client certificate only when both it
// and its key are set.
corvel::TlsClientOptions tlsClientOptions(const LibrarySettings& settings);

}  // namespace vexa::pkcs11
