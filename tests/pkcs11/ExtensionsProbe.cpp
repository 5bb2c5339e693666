// Runs the library's own calls (vexa.h) through libvexa-pkcs11.so against the
// token of slot 0, the way an application would, and prints one line per
// call for the end-to-end tests to compare:
//
//   vexa_extensions_probe          (vexaconfig.json looked up as usual)
//
// The Bitcoin signature, its hash and public key are left in the working
// directory as bitcoin-sig.der, bitcoin-hash.bin and bitcoin-pub.bin for an
// independent check. Exit status 0 when every call could be made.
#include <p11-kit/pkcs11.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "vexa.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr CK_SLOT_ID kSlot = 0;
constexpr uint32_t kHardened = 0x80000000u;

std::string hex(const uint8_t* bytes, size_t length)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < length; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0xF];
    }
    return text;
}

void say(const std::string& line) { std::printf("%s\n", line.c_str()); }

std::string rv(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

void writeFile(const std::string& name, const uint8_t* bytes, size_t length)
{
    std::ofstream(name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(length));
}

void configuration()
{
    auto show = [] {
        TokenConfigRecord record{VEXA_TOKEN_CONFIG_VERSION, VEXA_TOKEN_CONFIG_SIZE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEEEE};
        const uint32_t result = u32GetTokenConfig(kSlot, &record);
        say("getconfig " + rv(result) + " " + std::to_string(record.config1) + " " + std::to_string(record.config2) +
            " " + std::to_string(record.config3) + " " + std::to_string(record.config4));
    };
    show();
    say("setbyte " + rv(u32SetTokenByte(kSlot, 0x11)));
    say("setbytepair " + rv(u32SetTokenBytePair(kSlot, 0x22, 0x33)));
    say("setconfigword " + rv(u32SetTokenConfigWord(kSlot, 0xBEEF)));
    show();
    say("setvalue " + rv(u32SetTokenValue(kSlot, 0x44, 1)));
    show();
    say("command " + rv(u32TokenCommand(kSlot)));
    show();
}

void dataBlock()
{
    Bytes data(5000);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i * 13 + i / 251);
    }
    say("writedata " + rv(u32WriteTokenData(kSlot, data.data(), data.size())));
    Bytes back(8000, 0);
    CK_ULONG length = back.size();
    const uint32_t result = u32ReadTokenData(kSlot, back.data(), &length);
    back.resize(length);
    say("readdata " + rv(result) + " " + std::to_string(length) + (back == data ? " same" : " different"));
}

void eventLog()
{
    CK_ULONG length = 0;
    const bool query = bReadLogEntries(kSlot, nullptr, &length);
    say(std::string("loglength ") + (query ? "true" : "false") + (length > 0 ? " some" : " none"));
    std::string text(length, '\0');
    const bool read = bReadLogEntries(kSlot, reinterpret_cast<uint8_t*>(text.data()), &length);
    text.resize(length);
    const bool hasWrite = text.find("data store written, 5000 bytes") != std::string::npos;
    say(std::string("readlog ") + (read ? "true" : "false") + (hasWrite ? " has-write" : " no-write"));
}

std::string publicKey(CK_SESSION_HANDLE session, const std::vector<uint32_t>& path)
{
    uint8_t key[65];
    CK_ULONG length = sizeof key;
    const uint32_t none = 0;
    const uint32_t result = u32GetBitcoinPub(session, path.empty() ? &none : path.data(), path.size(), key, &length);
    return rv(result) + " " + hex(key, result == CKR_OK ? length : 0);
}

void bitcoin(CK_SESSION_HANDLE session)
{
    CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
    say("hasbitcoinkey " + rv(u32HasBitcoinKey(session, &key)));
    // The seed of the first published BIP32 test vector.
    const Bytes seed = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f};
    say("importbitcoinkey " + rv(u32ImportBitcoinKey(session, seed.data(), seed.size())));
    say("importbitcoinkey " + rv(u32ImportBitcoinKey(session, seed.data(), seed.size())));
    const uint32_t found = u32HasBitcoinKey(session, &key);
    say("hasbitcoinkey " + rv(found) + (key != CK_INVALID_HANDLE ? " handle" : " no-handle"));
    say("bitcoinpub m " + publicKey(session, {}));
    say("bitcoinpub m/0H " + publicKey(session, {kHardened}));

    const std::vector<uint32_t> path = {kHardened | 44, kHardened, kHardened, 0, 7};
    Bytes hash(32);
    for (size_t i = 0; i < hash.size(); ++i) {
        hash[i] = static_cast<uint8_t>(0xA0 + i);
    }
    uint8_t pub[65];
    CK_ULONG pubLength = sizeof pub;
    const uint32_t pubResult = u32GetBitcoinPub(session, path.data(), path.size(), pub, &pubLength);
    uint8_t signature[80];
    CK_ULONG signatureLength = sizeof signature;
    const uint32_t signResult =
        u32SignBitcoinHash(session, hash.data(), hash.size(), path.data(), path.size(), signature, &signatureLength);
    say("signbitcoinhash " + rv(pubResult) + " " + rv(signResult));
    writeFile("bitcoin-pub.bin", pub, pubResult == CKR_OK ? pubLength : 0);
    writeFile("bitcoin-sig.der", signature, signResult == CKR_OK ? signatureLength : 0);
    writeFile("bitcoin-hash.bin", hash.data(), hash.size());
}

int withSession(CK_FUNCTION_LIST_PTR p11)
{
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    CK_RV result = p11->C_OpenSession(kSlot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session);
    if (result != CKR_OK) {
        say("C_OpenSession " + rv(static_cast<uint32_t>(result)));
        return 1;
    }
    CK_UTF8CHAR pin[] = {'1', '2', '3', '4', '5', '6'};
    result = p11->C_Login(session, CKU_USER, pin, sizeof pin);
    if (result != CKR_OK) {
        say("C_Login " + rv(static_cast<uint32_t>(result)));
        return 1;
    }
    bitcoin(session);
    p11->C_Logout(session);
    p11->C_CloseSession(session);
    return 0;
}

}  // namespace

int main()
{
    CK_FUNCTION_LIST_PTR p11 = nullptr;
    if (C_GetFunctionList(&p11) != CKR_OK || p11->C_Initialize(nullptr) != CKR_OK) {
        say("C_Initialize failed");
        return 1;
    }
    configuration();
    dataBlock();
    eventLog();
    const int status = withSession(p11);
    const CK_RV finalised = p11->C_Finalize(nullptr);
    std::fflush(stdout);
    return status != 0 || finalised != CKR_OK ? 1 : 0;
}
