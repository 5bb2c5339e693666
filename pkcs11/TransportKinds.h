#pragma once
#include <functional>
#include <memory>
#include <vector>

#include "CTransport.h"
#include "ILogTarget.h"
#include "LibrarySettings.h"
#include "SerialId.h"
#include "TokenListing.h"

namespace vexa::pkcs11 {

// How the library reaches its tokens: a lister that names them and a factory
// that creates the (unopened) transport of one, logging to log. A factory may
// give none.
using TransportFactory =
    std::function<std::unique_ptr<corvel::CTransport>(SerialId, const LibrarySettings&, corvel::ILogTarget& log)>;
using SerialLister = std::function<std::vector<SerialId>(const LibrarySettings&, corvel::ILogTarget& log)>;

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

}  // namespace vexa::pkcs11
