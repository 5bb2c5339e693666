#pragma once
#include <functional>
#include <memory>
#include <vector>

#include "CTransport.h"
#include "ILogTarget.h"
#include "LibrarySettings.h"
#include "SerialId.h"
#include "TlsClientConnection.h"

namespace vexa::pkcs11 {

class CContext;

// How the library reaches its tokens: a lister that names them and a factory
// that creates the (unopened) transport of one. A factory may give none.
using TransportFactory = std::function<std::unique_ptr<corvel::CTransport>(SerialId, CContext&)>;
using SerialLister = std::function<std::vector<SerialId>(CContext&)>;

struct TransportKind {
    TransportFactory factory;
    SerialLister lister;
};

// Tokens attached over USB HID, opened in this process.
TransportKind hidTransportKind();
// The daemon's Unix sockets "vexa.<serial>.sock" in the socket directory.
TransportKind unixTransportKind();
// One token behind the daemon's TLS listener, as serial id 0.
TransportKind tlsTransportKind();

// The pieces of those kinds, for whoever must see what the library sees.

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
