// btc import|pub|sign: the token's Bitcoin key service, in a logged-in session.
#include <algorithm>
#include <vector>

#include "Command.h"
#include "DerivationPath.h"
#include "Files.h"
#include "Hex.h"
#include "Library.h"
#include "Pin.h"

namespace vexa::tool {
namespace {

// Room for a compressed or uncompressed point and for a DER signature.
constexpr CK_ULONG kOutputRoom = 256;

const std::vector<OptionSpec> kPinOption = {
    {"--pin", "PIN", "the user PIN (else $VEXA_PIN, else a prompt on the terminal)"},
};

std::vector<uint32_t> pathArgument(const Invocation& call, size_t index)
{
    const auto path = parseDerivationPath(call.positional(index));
    if (!path) {
        throw UsageError("'" + call.positional(index) + "' is no derivation path such as m/44'/0'/0'/0/0",
                         call.command);
    }
    return *path;
}

// The master key's path "m" has no words, and the library still wants a
// pointer to them.
const uint32_t* words(const std::vector<uint32_t>& path)
{
    static const uint32_t kNone = 0;
    return path.empty() ? &kNone : path.data();
}

// Runs `body` in a logged-in session on the token; returns its slot.
template <typename Body>
CK_SLOT_ID inSession(const Invocation& call, const CSlotArgument& which, Body body)
{
    const std::string pin =
        obtainPin(call.args.value("--pin"), "User PIN of the token " + which.description() + ": ", call.command);
    CLibrary library;
    const CK_SLOT_ID slot = which.resolve(library, call.err);
    CSession session(library, slot);
    session.login(pin);
    body(session.handle());
    return slot;
}

void importKey(const Invocation& call)
{
    const CSlotArgument which = call.slot(0);
    const std::vector<uint8_t> seed = readWholeFile(call.positional(1));
    if (seed.empty()) {
        throw Failure(call.positional(1) + " is empty");
    }
    const CK_SLOT_ID slot = inSession(call, which, [&](CK_SESSION_HANDLE session) {
        check("u32ImportBitcoinKey", u32ImportBitcoinKey(session, seed.data(), seed.size()));
    });
    call.out << "Bitcoin key imported into the token in slot " << slot << "\n";
}

void publicKey(const Invocation& call)
{
    const CSlotArgument which = call.slot(0);
    const std::vector<uint32_t> path = pathArgument(call, 1);
    inSession(call, which, [&](CK_SESSION_HANDLE session) {
        std::vector<uint8_t> key(kOutputRoom);
        CK_ULONG length = key.size();
        check("u32GetBitcoinPub", u32GetBitcoinPub(session, words(path), path.size(), key.data(), &length));
        call.out << toHex(key.data(), std::min<CK_ULONG>(length, key.size())) << "\n";
    });
}

void signHash(const Invocation& call)
{
    const CSlotArgument which = call.slot(0);
    const std::vector<uint32_t> path = pathArgument(call, 1);
    const auto hash = parseHex(call.positional(2));
    if (!hash || hash->empty()) {
        throw UsageError("HASH must be hexadecimal digits, such as the 64 of a SHA-256 hash", call.command);
    }
    inSession(call, which, [&](CK_SESSION_HANDLE session) {
        std::vector<uint8_t> signature(kOutputRoom);
        CK_ULONG length = signature.size();
        check("u32SignBitcoinHash", u32SignBitcoinHash(session, hash->data(), hash->size(), words(path), path.size(),
                                                       signature.data(), &length));
        call.out << toHex(signature.data(), std::min<CK_ULONG>(length, signature.size())) << "\n";
    });
}

const char* const kSession =
    "The key service needs the user to be logged in: the PIN comes from --pin,\n"
    "else from the environment variable VEXA_PIN, else from a prompt on the\n"
    "terminal (not echoed).\n";

}  // namespace

void addBitcoinCommands(std::vector<Command>& commands)
{
    commands.push_back({"btc import", "SLOT SEEDFILE", "import a Bitcoin master key from a seed",
                        "Derives the token's Bitcoin master key (BIP32) from the seed in SEEDFILE\n"
                        "(raw bytes, \"-\": standard input; the token takes 16 to 64 bytes). A token\n"
                        "keeps one such key: a second import fails with CKR_VEXA_BITCOIN_KEY_EXISTS.\n\n" +
                            std::string(kSession),
                        kPinOption, 2, 2, importKey});
    commands.push_back({"btc pub", "SLOT PATH", "print the public key at a derivation path",
                        "Prints, in hexadecimal, the public key that the token derives along PATH\n"
                        "(such as m/44'/0'/0'/0/0; ' or h marks a hardened step; m is the master key).\n\n" +
                            std::string(kSession),
                        kPinOption, 2, 2, publicKey});
    commands.push_back({"btc sign", "SLOT PATH HASH", "sign a hash with the key at a derivation path",
                        "Signs HASH (hexadecimal, 32 bytes for the token) with the key derived along\n"
                        "PATH and prints the DER-encoded ECDSA signature in hexadecimal.\n\n" +
                            std::string(kSession),
                        kPinOption, 3, 3, signHash});
}

}  // namespace vexa::tool
