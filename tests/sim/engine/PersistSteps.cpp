#include "PersistSteps.h"

#include <cstdio>
#include <exception>
#include <stdexcept>

#include "HidLink.h"
#include "wire/Functions.h"

namespace vexa::test::engine {
namespace {

const Bytes kSeed = fromHex("000102030405060708090a0b0c0d0e0f");
// The master public key of BIP32 test vector 1.
const char* kMasterPublicKey = "0339a36013301597daef41fbe593a02cc513d0b55527ec2df1050e2e8ff49c85c2";

Request slotCall(uint32_t function)
{
    Request r;
    r.function = function;
    return r;
}

void store(TokenClient& t)
{
    uint32_t s = t.openSession();
    t.login(s);
    t.create(s, {number(CKA_CLASS, CKO_DATA), flag(CKA_TOKEN, true), bytes(CKA_LABEL, bytesOf("kept"))});
    require(t.call(fn::ImportBitcoinKey, s, [](Request& r) { r.data = kSeed; }), "import");
    Request byte = slotCall(fn::SetTokenByte);
    byte.handle = 42;
    require(t.call(byte), "set byte");
    Request write = slotCall(fn::WriteTokenData);
    write.handle = 5;
    write.handle2 = 5;
    write.data = bytesOf("hello");
    require(t.call(write), "write data");
}

void check(TokenClient& t)
{
    uint32_t s = t.openSession();
    t.login(s);
    if (t.find(s, {bytes(CKA_LABEL, bytesOf("kept"))}).size() != 1) {
        throw std::runtime_error("token object lost");
    }
    Response pub = t.call(fn::GetBitcoinPub, s, [](Request& r) { r.outputLength = 33; });
    require(pub, "bitcoin public key");
    if (toHex(*pub.output) != kMasterPublicKey) {
        throw std::runtime_error("bitcoin key lost");
    }
    if (t.call(slotCall(fn::GetTokenConfig)).tokenConfig.value().config1 != 42) {
        throw std::runtime_error("configuration lost");
    }
    Request read = slotCall(fn::ReadTokenData);
    read.outputLength = 100;
    if (t.call(read).output != bytesOf("hello")) {
        throw std::runtime_error("data store lost");
    }
}

int run(void (*steps)(TokenClient&), const char* name)
{
    try {
        HidLink link(kU2fSerial);
        TokenClient client(link);
        steps(client);
        std::printf("%s: ok\n", name);
        return 0;
    } catch (const std::exception& e) {
        std::printf("%s: %s\n", name, e.what());
        return 1;
    }
}

}  // namespace

int persistStore() { return run(store, "persist-store"); }

int persistCheck() { return run(check, "persist-check"); }

}  // namespace vexa::test::engine
