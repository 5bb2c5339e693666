// fuzz-engine-request: the simulated token's engine, SoftHSM2 behind it,
// driven the way hosts drive a token: short sequences of requests.
//
// One engine serves the whole run, on a token in a scratch state directory,
// logged in through a session that stays open. Each input runs on a session
// of its own, which is closed at its end (its session objects go with it):
//
//  - An input that starts with 0x08 (the tag of RpcRequest.function) is one
//    request message as a host sends it. A message that decodes must
//    survive the way back (encoded again it decodes to the same request,
//    whose encoding is the same bytes); it is then executed on the input's
//    session. Calls that would change the token for later inputs (PINs,
//    login, token and vendor settings) and those that take seconds (RSA key
//    and domain parameter generation) are only decoded; templates lose
//    CKA_TOKEN, so nothing outlives the input.
//  - Any other input is a program of steps (Program below): make keys, or
//    objects that look like keys, start operations with chosen mechanisms,
//    parameters and keys, run them on data of chosen lengths, wrap, unwrap,
//    derive, copy, read and change objects.
//
// Every reply must decode and fit the library's 2048 bytes, and the token
// must still answer afterwards (sessions opened by a message would pile up,
// so a message does not open any); an engine that dies or corrupts memory on a
// request is what this target looks for.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "EngineFuzzKeys.h"
#include "Limits.h"
#include "ScratchState.h"
#include "TokenEngine.h"
#include "wire/Functions.h"

namespace {

namespace fn = vexa::wire::fn;
using namespace vexa::fuzz;
using vexa::wire::Bytes;
using vexa::wire::Request;
using vexa::wire::Response;
using vexa::wire::WireAttribute;

constexpr size_t kMostSteps = 24;

// SoftHSM2 keeps every session object it ever made until it is finalised
// (so that no pointer to one dangles): about 5 MB per thousand inputs, which
// would end a long run at the fuzzer's memory limit. The engine is started
// afresh, on the same token, after this many inputs.
constexpr unsigned kInputsPerEngine = 20000;

// The engine and what every input may use.
struct Fixture {
    vexa::sim::engine::CScratchState state;
    std::unique_ptr<vexa::sim::engine::CTokenEngine> engine;
    uint32_t anchor = 0;  // keeps the token logged in
    KeyMaterial material;
    unsigned inputs = 0;  // run by this engine
};

std::unique_ptr<Fixture> g_fixture;

// VEXA_FUZZ_TRACE set: every exchange on standard error, to see what an
// input does when it is replayed.
const bool g_trace = std::getenv("VEXA_FUZZ_TRACE") != nullptr;

Response exchangeBytes(const Bytes& message)
{
    Bytes reply;
    g_fixture->engine->handle(message, reply);
    require(reply.size() <= vexa::sim::engine::kMaxReply, "every reply fits the library's buffer");
    Response resp;
    require(vexa::wire::decodeResponse(reply, resp), "every reply decodes");
    if (g_trace) {
        const unsigned function = message.size() > 1 ? message[1] : 0;
        std::fprintf(stderr, "request of %zu bytes, function %u: rv 0x%x\n", message.size(), function, resp.rv);
    }
    return resp;
}

Response exchange(const Request& req)
{
    Bytes message;
    if (!vexa::wire::encodeRequest(req, message, vexa::wire::kMaxRequest)) {
        Response tooLong;  // more than a host sends
        tooLong.rv = CKR_DATA_LEN_RANGE;
        return tooLong;
    }
    return exchangeBytes(message);
}

Response call(uint32_t function, uint32_t session, const std::function<void(Request&)>& fill = {})
{
    Request req;
    req.function = function;
    req.session = session;
    if (fill) {
        fill(req);
    }
    return exchange(req);
}

// ---- one request message ----------------------------------------------------

bool changesLaterInputs(uint32_t function)
{
    switch (function) {
    case fn::InitToken:
    case fn::OpenSession:
    case fn::Login:
    case fn::CloseAllSessions:
    case fn::InitPIN:
    case fn::Logout:
    case fn::SetPIN:
    case fn::SetDateTime:
    case fn::SetTokenValue:
    case fn::SetTokenByte:
    case fn::SetTokenBytePair:
    case fn::TokenCommand:
    case fn::WriteTokenData:
    case fn::SetTokenConfigWord:
    case fn::ImportBitcoinKey:
        return true;
    default:
        return false;
    }
}

bool takesSeconds(const Request& req)
{
    if (!req.mechanism || (req.function != fn::GenerateKey && req.function != fn::GenerateKeyPair)) {
        return false;
    }
    const uint32_t m = req.mechanism->type;
    return m == CKM_RSA_PKCS_KEY_PAIR_GEN || m == CKM_DSA_PARAMETER_GEN || m == CKM_DH_PKCS_PARAMETER_GEN;
}

void dropTokenAttribute(std::vector<WireAttribute>& templ)
{
    templ.erase(std::remove_if(templ.begin(), templ.end(), [](const WireAttribute& a) { return a.type == CKA_TOKEN; }),
                templ.end());
}

void runMessage(const uint8_t* data, size_t size, uint32_t session)
{
    const Bytes message(data, data + size);
    Request request;
    if (!vexa::wire::decodeRequest(message, request)) {
        exchangeBytes(message);  // answered all the same
        return;
    }
    require(size <= vexa::wire::kMaxRequest, "no request beyond the limit decodes");
    Bytes encoded;
    if (vexa::wire::encodeRequest(request, encoded, vexa::wire::kMaxRequest)) {
        Request again;
        require(vexa::wire::decodeRequest(encoded, again), "an encoded request decodes");
        Bytes reencoded;
        require(vexa::wire::encodeRequest(again, reencoded, vexa::wire::kMaxRequest), "a decoded request encodes");
        require(reencoded == encoded, "decoding and encoding agree");
    }
    if (changesLaterInputs(request.function) || takesSeconds(request)) {
        return;
    }
    request.session = session;
    dropTokenAttribute(request.templ);
    dropTokenAttribute(request.templ2);
    exchange(request);
}

// ---- programs -----------------------------------------------------------------

// Each step starts with a byte that picks it; its other bytes follow.
//   0 make a key (recipes in EngineFuzzKeys.h)       5 wrap a key
//   1 make a key-like object from changed material     6 unwrap a key
//   2 start an encryption, decryption, signature      7 derive a key
//     or verification                                  8 an object call
//   3 one call of the operation under way              9 a new session
//   4 a digest step
class Program {
public:
    Program(Input& in, uint32_t session) : m_in(in), m_session(session) {}

    void run()
    {
        for (size_t step = 0; step < kMostSteps && !m_in.empty(); ++step) {
            switch (m_in.byte() % 10) {
            case 0:
                keep(makeKey(m_in, m_session, g_fixture->material, exchange));
                break;
            case 1:
                keep(makeOddKey(m_in, m_session, g_fixture->material, exchange));
                break;
            case 2:
                start();
                break;
            case 3:
                operate();
                break;
            case 4:
                digest();
                break;
            case 5:
                wrap();
                break;
            case 6:
                unwrap();
                break;
            case 7:
                derive();
                break;
            case 8:
                objectCall();
                break;
            default:
                renewSession();
                break;
            }
        }
    }

    uint32_t session() const { return m_session; }

private:
    void keep(const std::vector<uint32_t>& handles)
    {
        for (uint32_t h : handles) {
            if (m_keys.size() < 16) {
                m_keys.push_back(h);
            }
        }
    }

    // One of the keys made so far, now and then a handle never handed out.
    uint32_t key()
    {
        const uint8_t b = m_in.byte();
        if (m_keys.empty() || b == 0xFF) {
            return 0x7FFF0000u | b;
        }
        return m_keys[b % m_keys.size()];
    }

    Response remember(Response r)
    {
        if (r.output && !r.output->empty()) {
            m_last = *r.output;
        }
        return r;
    }

    // Data of a chosen length: a pattern, the input's own bytes, or the last
    // output (a ciphertext, a signature, a wrapped key).
    Bytes data()
    {
        const uint8_t source = m_in.byte();
        if (source % 4 == 3 && !m_last.empty()) {
            return m_last;
        }
        const size_t length = dataLength(m_in);
        return source % 4 == 2 ? m_in.bytes(length) : pattern(length);
    }

    void output(Request& r)
    {
        const uint8_t b = m_in.byte();
        if (b & 1) {
            r.lengthOnly = true;
        } else if (b & 2) {
            r.outputLength = static_cast<uint32_t>(dataLength(m_in));
        } else if (b & 4) {
            r.outputLength = 4096;
        }
    }

    WireMechanism chosenMechanism(const std::vector<CK_MECHANISM_TYPE>& choices)
    {
        WireMechanism m;
        m.type = static_cast<uint32_t>(choices[m_in.byte() % choices.size()]);
        setParameter(m, m_in, [this](CK_ATTRIBUTE_TYPE type) { return attributeOf(key(), type); });
        return m;
    }

    Bytes attributeOf(uint32_t object, CK_ATTRIBUTE_TYPE type)
    {
        Response r = call(fn::GetAttributeValue, m_session, [&](Request& q) {
            q.handle = object;
            q.templ = {typeOnly(type)};
        });
        if (r.rv != CKR_OK || r.attributes.size() != 1 || !r.attributes[0].value) {
            return m_in.bytes(m_in.byte() % 80);
        }
        return *r.attributes[0].value;
    }

    void start()
    {
        static const uint32_t kInits[] = {fn::EncryptInit, fn::DecryptInit, fn::SignInit, fn::VerifyInit};
        const uint32_t function = kInits[m_in.byte() % 4];
        const WireMechanism m = chosenMechanism(operationMechanisms());
        const uint32_t k = key();
        call(function, m_session, [&](Request& r) {
            r.mechanism = m;
            r.handle = k;
        });
    }

    void operate()
    {
        static const uint32_t kCalls[] = {fn::Encrypt,      fn::Decrypt,      fn::EncryptUpdate, fn::DecryptUpdate,
                                          fn::EncryptFinal, fn::DecryptFinal, fn::Sign,          fn::SignUpdate,
                                          fn::SignFinal,    fn::Verify,       fn::VerifyUpdate,  fn::VerifyFinal};
        const uint32_t function = kCalls[m_in.byte() % (sizeof kCalls / sizeof kCalls[0])];
        remember(call(function, m_session, [&](Request& r) {
            if (function != fn::EncryptFinal && function != fn::DecryptFinal && function != fn::SignFinal) {
                r.data = data();
            }
            if (function == fn::Verify) {
                r.data2 = data();
            }
            output(r);
        }));
    }

    void digest()
    {
        static const CK_MECHANISM_TYPE kDigests[] = {CKM_SHA_1,  CKM_SHA224, CKM_SHA256,     CKM_SHA384,
                                                     CKM_SHA512, CKM_MD5,    CKM_SHA256_HMAC};
        switch (m_in.byte() % 4) {
        case 0:
            call(fn::DigestInit, m_session, [&](Request& r) {
                r.mechanism = mechanism(kDigests[m_in.byte() % (sizeof kDigests / sizeof kDigests[0])]);
            });
            break;
        case 1:
            call(fn::DigestUpdate, m_session, [&](Request& r) { r.data = data(); });
            break;
        case 2: {
            const uint32_t k = key();
            call(fn::DigestKey, m_session, [&](Request& r) { r.handle = k; });
            break;
        }
        default:
            remember(call(fn::DigestFinal, m_session, [&](Request& r) { output(r); }));
            break;
        }
    }

    void wrap()
    {
        const WireMechanism m = chosenMechanism(wrapMechanisms());
        const uint32_t wrapped = key();
        const uint32_t wrapping = key();
        remember(call(fn::WrapKey, m_session, [&](Request& r) {
            r.mechanism = m;
            r.handle = wrapped;
            r.handle2 = wrapping;
            output(r);
        }));
    }

    void unwrap()
    {
        const WireMechanism m = chosenMechanism(wrapMechanisms());
        const uint32_t unwrapping = key();
        Response r = call(fn::UnwrapKey, m_session, [&](Request& q) {
            q.mechanism = m;
            q.handle = unwrapping;
            q.data = data();
            q.templ = newKeyTemplate(m_in);
        });
        if (r.rv == CKR_OK && r.handle) {
            keep({*r.handle});
        }
    }

    void derive()
    {
        const WireMechanism m = chosenMechanism(deriveMechanisms());
        const uint32_t base = key();
        Response r = call(fn::DeriveKey, m_session, [&](Request& q) {
            q.mechanism = m;
            q.handle = base;
            q.templ = newKeyTemplate(m_in);
        });
        if (r.rv == CKR_OK && r.handle) {
            keep({*r.handle});
        }
    }

    void objectCall()
    {
        const uint8_t which = m_in.byte() % 8;
        const uint32_t object = key();
        switch (which) {
        case 0: {
            Response r = call(fn::CopyObject, m_session, [&](Request& q) {
                q.handle = object;
                q.templ = changedAttributes(m_in);
            });
            if (r.rv == CKR_OK && r.handle) {
                keep({*r.handle});
            }
            break;
        }
        case 1:
            call(fn::GetAttributeValue, m_session, [&](Request& q) {
                q.handle = object;
                for (size_t n = 1 + m_in.byte() % 4; n > 0; --n) {
                    q.templ.push_back(typeOnly(attributeType(m_in)));
                }
            });
            break;
        case 2:
            call(fn::SetAttributeValue, m_session, [&](Request& q) {
                q.handle = object;
                q.templ = changedAttributes(m_in);
            });
            break;
        case 3:
            call(fn::DestroyObject, m_session, [&](Request& q) { q.handle = object; });
            break;
        case 4:
            call(fn::GetObjectSize, m_session, [&](Request& q) { q.handle = object; });
            break;
        case 5:
            call(fn::FindObjectsInit, m_session, [&](Request& q) { q.templ = changedAttributes(m_in); });
            call(fn::FindObjects, m_session, [&](Request& q) { q.outputLength = m_in.byte(); });
            call(fn::FindObjectsFinal, m_session);
            break;
        case 6:
            remember(call(fn::GenerateRandom, m_session,
                          [&](Request& q) { q.outputLength = static_cast<uint32_t>(dataLength(m_in)); }));
            break;
        default:
            call(fn::SeedRandom, m_session, [&](Request& q) { q.data = data(); });
            break;
        }
    }

    // The session's objects and operation end with it; the handles kept
    // point at nothing from here on.
    void renewSession()
    {
        call(fn::CloseSession, m_session);
        m_session = openSession();
    }

public:
    static uint32_t openSession()
    {
        Response r = call(fn::OpenSession, 0, [](Request& q) {
            q.session.reset();
            q.value = CKF_SERIAL_SESSION | CKF_RW_SESSION;
        });
        require(r.rv == CKR_OK && r.handle, "the token opens a session");
        return *r.handle;
    }

private:
    Input& m_in;
    uint32_t m_session;
    std::vector<uint32_t> m_keys;
    Bytes m_last;
};

// libFuzzer reads its flags after LLVMFuzzerInitialize. Its leak check after
// an input scans the whole heap whenever allocations and frees differ, and
// SoftHSM2 and its crypto library keep caches that grow now and then: with
// the check, 9 of 10 seconds went into heap scans. Leaks of the engine are
// the sanitizer test runs' to find; a -detect_leaks given on the command
// line still wins.
void turnOffLeakChecks(int* argc, char*** argv)
{
    static char flag[] = "-detect_leaks=0";
    static std::vector<char*> args;
    args.assign(*argv, *argv + *argc);
    args.insert(args.begin() + std::min(*argc, 1), flag);
    args.push_back(nullptr);
    *argc = static_cast<int>(args.size() - 1);
    *argv = args.data();
}

// The token writes and syncs a file for every event it records (each key it
// makes); on a disk that cost more than everything else of an input.
void keepStateInMemory()
{
    if (::access("/dev/shm", W_OK) == 0) {
        ::setenv("TMPDIR", "/dev/shm", 1);
    }
}

// A new engine (and with it SoftHSM2, started again) on the fixture's token,
// logged in through a session of its own.
void startEngine()
{
    Fixture& f = *g_fixture;
    f.engine.reset();
    vexa::sim::engine::EngineOptions options;
    options.stateDir = f.state.path();
    f.engine =
        std::make_unique<vexa::sim::engine::CTokenEngine>(vexa::sim::TokenIdentity{"0000000000F1", "Vexa"}, options);
    f.inputs = 0;
    f.anchor = Program::openSession();
    Response login = call(fn::Login, f.anchor, [](Request& r) {
        r.value = CKU_USER;
        r.data = Bytes{'1', '2', '3', '4', '5', '6'};
    });
    require(login.rv == CKR_OK, "the user logs in");
}

}  // namespace

// SoftHSM2 loses a few bytes of its crypto library's objects on some error
// paths; that is no finding of this target, leaks of our own code are.
extern "C" const char* __lsan_default_suppressions() { return "leak:libcrypto.so\nleak:libsofthsm2.so\n"; }

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    turnOffLeakChecks(argc, argv);
    keepStateInMemory();
    g_fixture = std::make_unique<Fixture>();
    startEngine();
    g_fixture->material = makeMaterial(g_fixture->anchor, exchange);
    // Registered after SoftHSM2 was loaded, so the engine ends before the
    // library's own exit handlers run; the scratch directory goes with it.
    std::atexit([] { g_fixture.reset(); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (++g_fixture->inputs > kInputsPerEngine) {
        startEngine();
    }
    uint32_t session = Program::openSession();
    if (size > 0 && data[0] == 0x08) {
        runMessage(data, size, session);
    } else {
        Input in(data, size);
        Program program(in, session);
        program.run();
        session = program.session();
    }
    call(fn::CloseSession, session);
    require(call(fn::GetSessionInfo, g_fixture->anchor).rv == CKR_OK, "the token still answers");
    return 0;
}
