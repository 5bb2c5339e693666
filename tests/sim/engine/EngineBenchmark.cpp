// vexa-bench-engine: time per round of requests to the token engine in-process (no
// HID), for a few typical requests. Prints figures; not a test.
#include <chrono>
#include <cstdio>
#include <functional>
#include <tuple>

#include "EngineLink.h"
#include "TempDir.h"
#include "wire/Functions.h"

using namespace vexa::test::engine;
namespace fn = vexa::wire::fn;

namespace {

void measure(const char* what, int rounds, const std::function<void()>& body)
{
    body();  // warm up
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; ++i) {
        body();
    }
    const std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - start;
    std::printf("%-44s %9.1f us per round (%d rounds)\n", what, took.count() / rounds, rounds);
}

}  // namespace

int main()
{
    vexa::test::TempDir state("vexa-bench-engine");
    EngineLink link(state.path(), {"0000000000BE", "Vexa"});
    TokenClient t(link);
    uint32_t s = t.openSession();
    t.login(s);
    uint32_t pub = 0;
    uint32_t priv = 0;
    std::tie(pub, priv) = t.generateEcKeyPair(s);
    (void)pub;
    require(t.call(fn::ImportBitcoinKey, s, [](Request& r) { r.data = Bytes(32, 7); }), "import");
    const Bytes chunk(2000, 0x61);

    Request info;
    info.function = fn::GetTokenInfo;
    measure("C_GetTokenInfo", 2000, [&] { require(t.call(info), "token info"); });
    measure("C_DigestInit + 2000-byte update + final", 2000, [&] {
        require(t.call(fn::DigestInit, s, [](Request& r) { r.mechanism = mechanism(CKM_SHA256); }), "init");
        require(t.call(fn::DigestUpdate, s, [&](Request& r) { r.data = chunk; }), "update");
        require(t.call(fn::DigestFinal, s, [](Request& r) { r.outputLength = 32; }), "final");
    });
    measure("C_SignInit + C_Sign (ECDSA P-256)", 500, [&] {
        require(t.call(fn::SignInit, s,
                       [&](Request& r) {
                           r.mechanism = mechanism(CKM_ECDSA);
                           r.handle = priv;
                       }),
                "sign init");
        require(t.call(fn::Sign, s,
                       [](Request& r) {
                           r.data = Bytes(32, 1);
                           r.outputLength = 64;
                       }),
                "sign");
    });
    const Bytes path = {0x80, 0, 0, 44, 0x80, 0, 0, 0, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5};
    measure("u32GetBitcoinPub (depth 5)", 200, [&] {
        require(t.call(fn::GetBitcoinPub, s,
                       [&](Request& r) {
                           r.data = path;
                           r.outputLength = 33;
                       }),
                "public key");
    });
    measure("u32SignBitcoinHash (depth 5)", 200, [&] {
        require(t.call(fn::SignBitcoinHash, s,
                       [&](Request& r) {
                           r.data = path;
                           r.data2 = Bytes(32, 9);
                           r.outputLength = 72;
                       }),
                "bitcoin signature");
    });
    return 0;
}
