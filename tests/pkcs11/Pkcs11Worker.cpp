// A PKCS#11 application for tests that put several processes on one token:
// it loads libvexa-pkcs11.so the way applications do (dlopen) and runs the
// steps on its command line; the step "-" goes on with steps read from
// standard input, one line each, until the input ends.
//
//   vexa_pkcs11_worker MODULE DIR STEP...
//
// DIR becomes the working directory, where the library finds its
// vexaconfig.json. Every call prints "call NAME 0xRV" (signatures and random
// numbers add " len N ms T": the length received and the call's duration)
// and every step ends with "STEP ok" or "STEP failed":
//
//   init | finalize | open [SLOT] | close | closeall [SLOT]
//                         open also prints "session N", the token's number
//   login [PIN]           CKR_USER_ALREADY_LOGGED_IN counts as logged in
//   keygen LABEL          an EC P-256 key pair kept on the token
//   findkey LABEL         the private key with that label
//   showkey | usekey N    "key N": that key's handle; take handle N as the key
//   session               "session N": the token's number of the session
//   private               "private objects N": the private objects it sees
//   pid                   "pid N": this process
//   exit                  ends the process at once, without C_Finalize
//   sign N                N signatures (C_SignInit, C_Sign) with that key
//   sign-until FILE       signatures until FILE exists (ten minutes at most)
//   sign-retrying N       N signatures, each made again from C_SignInit when
//                         a call fails (at most 50 times); prints "signatures
//                         N failed F attempts A"
//   signinit | signonce   C_SignInit alone; C_Sign alone
//   large                 single-part calls on 4,500 bytes ((i * 7 + 3) % 251):
//                         HMAC-SHA256 with a key of 32 bytes 0x2B ("mac HEX"),
//                         its C_Verify, SHA-256 ("digest HEX"), AES-CBC-PAD
//                         with a key of 32 bytes 0x4D there and back
//   random N LEN...       N C_GenerateRandom calls taking the lengths in turn
//   slots                 what pkcs11-tool -L asks: slot list, slot and token info
//   tokeninfo [SLOT]      C_GetTokenInfo alone
//   cycle N               N times: init, slots, finalize
//   retry SECONDS STEP    STEP until it succeeds, for SECONDS at most
//   time                  "time MS": the monotonic clock
//   fork-child            forks; the child (lines "child ...") finds the
//                         library uninitialised and the open session
//                         unknown, initialises it, opens a session of its
//                         own on slot 0, takes random bytes, finalises and
//                         ends; the step waits for it (a minute at most)
//
// Exit status 0 when every step succeeded, 1 when one failed, 2 for a bad
// command line.
#include <dlfcn.h>
#include <p11-kit/pkcs11.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Words = std::deque<std::string>;

CK_BYTE kP256[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
CK_BBOOL kTrue = CK_TRUE;
constexpr auto kLongestLoop = std::chrono::minutes(10);

struct UsageError {
    std::string text;
};

std::string take(Words& words, const char* what)
{
    if (words.empty()) {
        throw UsageError{std::string("missing ") + what};
    }
    std::string word = words.front();
    words.pop_front();
    return word;
}

unsigned long takeNumber(Words& words, const char* what)
{
    const std::string word = take(words, what);
    char* end = nullptr;
    const unsigned long value = std::strtoul(word.c_str(), &end, 10);
    if (word.empty() || *end != '\0') {
        throw UsageError{std::string("bad ") + what + " '" + word + "'"};
    }
    return value;
}

long long nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

class Worker {
public:
    explicit Worker(CK_FUNCTION_LIST_PTR p11) : m_p11(p11) {}

    // Runs the step at the front of words; false when it failed.
    bool step(Words& words)
    {
        const std::string name = take(words, "step");
        const auto found = steps().find(name);
        if (found == steps().end()) {
            throw UsageError{"unknown step '" + name + "'"};
        }
        const bool ok = found->second(*this, words);
        std::printf("%s %s\n", name.c_str(), ok ? "ok" : "failed");
        std::fflush(stdout);
        return ok;
    }

private:
    using Step = std::function<bool(Worker&, Words&)>;

    // An optional argument is the next word unless that starts another step.
    static bool nextIsArgument(const Words& words)
    {
        return !words.empty() && words.front() != "-" && steps().count(words.front()) == 0;
    }
    static std::string optionalWord(Words& words, const std::string& otherwise)
    {
        return nextIsArgument(words) ? take(words, "argument") : otherwise;
    }
    static unsigned long optionalNumber(Words& words, unsigned long otherwise)
    {
        return nextIsArgument(words) ? takeNumber(words, "number") : otherwise;
    }

    static const std::map<std::string, Step>& steps()
    {
        static const std::map<std::string, Step> table = {
            {"init", [](Worker& w, Words&) { return w.call("C_Initialize", w.m_p11->C_Initialize(nullptr)); }},
            {"finalize", [](Worker& w, Words&) { return w.call("C_Finalize", w.m_p11->C_Finalize(nullptr)); }},
            {"open", [](Worker& w, Words& words) { return w.open(optionalNumber(words, 0)); }},
            {"close", [](Worker& w, Words&) { return w.call("C_CloseSession", w.m_p11->C_CloseSession(w.m_session)); }},
            {"closeall",
             [](Worker& w, Words& words) {
                 return w.call("C_CloseAllSessions", w.m_p11->C_CloseAllSessions(optionalNumber(words, 0)));
             }},
            {"login", [](Worker& w, Words& words) { return w.login(optionalWord(words, "123456")); }},
            {"keygen", [](Worker& w, Words& words) { return w.keygen(take(words, "label")); }},
            {"findkey", [](Worker& w, Words& words) { return w.findKey(take(words, "label")); }},
            {"showkey", [](Worker& w, Words&) { return w.show("key", w.m_key); }},
            {"usekey",
             [](Worker& w, Words& words) {
                 w.m_key = takeNumber(words, "key handle");
                 return true;
             }},
            {"session", [](Worker& w, Words&) { return w.show("session", w.m_session & 0xFFFFFFFFu); }},
            {"private", [](Worker& w, Words&) { return w.countPrivate(); }},
            {"pid", [](Worker& w, Words&) { return w.show("pid", static_cast<unsigned long>(::getpid())); }},
            {"exit",
             [](Worker&, Words&) {
                 std::fflush(stdout);
                 std::exit(0);
                 return true;
             }},
            {"sign", [](Worker& w, Words& words) { return w.signTimes(takeNumber(words, "count")); }},
            {"sign-until", [](Worker& w, Words& words) { return w.signUntil(take(words, "file")); }},
            {"sign-retrying", [](Worker& w, Words& words) { return w.signRetrying(takeNumber(words, "count")); }},
            {"signinit", [](Worker& w, Words&) { return w.signInit(); }},
            {"large", [](Worker& w, Words&) { return w.large(); }},
            {"signonce", [](Worker& w, Words&) { return w.signOnce(); }},
            {"random", [](Worker& w, Words& words) { return w.random(words); }},
            {"slots", [](Worker& w, Words&) { return w.slots(); }},
            {"tokeninfo",
             [](Worker& w, Words& words) {
                 CK_TOKEN_INFO token{};
                 return w.call("C_GetTokenInfo", w.m_p11->C_GetTokenInfo(optionalNumber(words, 0), &token));
             }},
            {"cycle", [](Worker& w, Words& words) { return w.cycle(takeNumber(words, "count")); }},
            {"retry", [](Worker& w, Words& words) { return w.retry(words); }},
            {"time",
             [](Worker&, Words&) {
                 std::printf("time %lld\n", nowMs());
                 return true;
             }},
            {"fork-child", [](Worker& w, Words&) { return w.forkChild(); }},
        };
        return table;
    }

    bool call(const char* name, CK_RV rv, bool acceptable = false)
    {
        std::printf("call %s 0x%lx\n", name, rv);
        return rv == CKR_OK || acceptable;
    }

    bool open(CK_SLOT_ID slot)
    {
        const bool ok = call("C_OpenSession", m_p11->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr,
                                                                   nullptr, &m_session));
        if (ok) {
            std::printf("session %lu\n", m_session & 0xFFFFFFFFul);
        }
        return ok;
    }

    bool childCall(const char* name, CK_RV rv, CK_RV expected)
    {
        std::printf("child call %s 0x%lx\n", name, rv);
        return rv == expected;
    }

    // What the child of a process that has the library initialised does:
    // nothing of the parent's may be used, nor closed.
    bool childSteps()
    {
        CK_BYTE random[16];
        bool ok = childCall("C_GenerateRandom", m_p11->C_GenerateRandom(m_session, random, sizeof random),
                            CKR_CRYPTOKI_NOT_INITIALIZED);
        ok = childCall("C_Initialize", m_p11->C_Initialize(nullptr), CKR_OK) && ok;
        ok = childCall("C_CloseSession", m_p11->C_CloseSession(m_session), CKR_SESSION_HANDLE_INVALID) && ok;
        CK_SESSION_HANDLE own = CK_INVALID_HANDLE;
        ok = childCall("C_OpenSession", m_p11->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &own), CKR_OK) &&
             ok;
        ok = childCall("C_GenerateRandom", m_p11->C_GenerateRandom(own, random, sizeof random), CKR_OK) && ok;
        ok = childCall("C_Finalize", m_p11->C_Finalize(nullptr), CKR_OK) && ok;
        return ok;
    }

    bool forkChild()
    {
        std::fflush(stdout);
        const pid_t child = ::fork();
        if (child < 0) {
            return false;
        }
        if (child == 0) {
            const bool ok = childSteps();
            std::printf("child %s\n", ok ? "ok" : "failed");
            std::fflush(stdout);
            ::_exit(ok ? 0 : 1);
        }
        int status = 0;
        const auto end = Clock::now() + std::chrono::minutes(1);
        pid_t ended = 0;
        while ((ended = ::waitpid(child, &status, WNOHANG)) == 0 && Clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (ended != child) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            return false;
        }
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

    bool login(const std::string& pin)
    {
        auto* text = reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin.data()));
        const CK_RV rv = m_p11->C_Login(m_session, CKU_USER, text, pin.size());
        return call("C_Login", rv, rv == CKR_USER_ALREADY_LOGGED_IN);
    }

    bool keygen(std::string label)
    {
        CK_ATTRIBUTE publicTemplate[] = {{CKA_EC_PARAMS, kP256, sizeof kP256},
                                         {CKA_TOKEN, &kTrue, sizeof kTrue},
                                         {CKA_VERIFY, &kTrue, sizeof kTrue},
                                         {CKA_LABEL, label.data(), label.size()}};
        CK_ATTRIBUTE privateTemplate[] = {{CKA_TOKEN, &kTrue, sizeof kTrue},
                                          {CKA_PRIVATE, &kTrue, sizeof kTrue},
                                          {CKA_SENSITIVE, &kTrue, sizeof kTrue},
                                          {CKA_SIGN, &kTrue, sizeof kTrue},
                                          {CKA_LABEL, label.data(), label.size()}};
        CK_MECHANISM mechanism{CKM_EC_KEY_PAIR_GEN, nullptr, 0};
        CK_OBJECT_HANDLE publicKey = CK_INVALID_HANDLE;
        return call("C_GenerateKeyPair", m_p11->C_GenerateKeyPair(m_session, &mechanism, publicTemplate, 4,
                                                                  privateTemplate, 5, &publicKey, &m_key));
    }

    bool findKey(std::string label)
    {
        CK_OBJECT_CLASS privateClass = CKO_PRIVATE_KEY;
        CK_ATTRIBUTE search[] = {{CKA_CLASS, &privateClass, sizeof privateClass},
                                 {CKA_LABEL, label.data(), label.size()}};
        if (!call("C_FindObjectsInit", m_p11->C_FindObjectsInit(m_session, search, 2))) {
            return false;
        }
        CK_ULONG count = 0;
        const bool found = call("C_FindObjects", m_p11->C_FindObjects(m_session, &m_key, 1, &count)) && count == 1;
        return call("C_FindObjectsFinal", m_p11->C_FindObjectsFinal(m_session)) && found;
    }

    bool show(const char* what, unsigned long value)
    {
        std::printf("%s %lu\n", what, value);
        return true;
    }

    bool countPrivate()
    {
        CK_ATTRIBUTE search[] = {{CKA_PRIVATE, &kTrue, sizeof kTrue}};
        if (!call("C_FindObjectsInit", m_p11->C_FindObjectsInit(m_session, search, 1))) {
            return false;
        }
        CK_OBJECT_HANDLE found[64];
        CK_ULONG count = 0;
        const bool ok = call("C_FindObjects", m_p11->C_FindObjects(m_session, found, 64, &count));
        std::printf("private objects %lu\n", count);
        return call("C_FindObjectsFinal", m_p11->C_FindObjectsFinal(m_session)) && ok;
    }

    CK_OBJECT_HANDLE secretKey(CK_KEY_TYPE type, CK_BYTE fill)
    {
        static CK_OBJECT_CLASS secretClass = CKO_SECRET_KEY;
        static CK_BBOOL no = CK_FALSE;
        std::vector<CK_BYTE> value(32, fill);
        const bool mac = type == CKK_GENERIC_SECRET;
        CK_ATTRIBUTE attributes[] = {{CKA_CLASS, &secretClass, sizeof secretClass},
                                     {CKA_KEY_TYPE, &type, sizeof type},
                                     {CKA_TOKEN, &no, sizeof no},
                                     {CKA_VALUE, value.data(), value.size()},
                                     {mac ? CKA_SIGN : CKA_ENCRYPT, &kTrue, sizeof kTrue},
                                     {mac ? CKA_VERIFY : CKA_DECRYPT, &kTrue, sizeof kTrue}};
        CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
        call("C_CreateObject", m_p11->C_CreateObject(m_session, attributes, 6, &key));
        return key;
    }

    static void printHex(const char* what, const std::vector<CK_BYTE>& bytes)
    {
        std::printf("%s ", what);
        for (CK_BYTE b : bytes) {
            std::printf("%02x", b);
        }
        std::printf("\n");
    }

    bool large()
    {
        std::vector<CK_BYTE> data(4500);
        for (size_t i = 0; i < data.size(); ++i) {
            data[i] = static_cast<CK_BYTE>((i * 7 + 3) % 251);
        }
        const CK_OBJECT_HANDLE macKey = secretKey(CKK_GENERIC_SECRET, 0x2B);
        CK_MECHANISM hmac{CKM_SHA256_HMAC, nullptr, 0};
        std::vector<CK_BYTE> mac(32);
        CK_ULONG length = mac.size();
        bool ok = call("C_SignInit", m_p11->C_SignInit(m_session, &hmac, macKey)) &&
                  call("C_Sign", m_p11->C_Sign(m_session, data.data(), data.size(), mac.data(), &length));
        printHex("mac", mac);
        ok = ok && call("C_VerifyInit", m_p11->C_VerifyInit(m_session, &hmac, macKey)) &&
             call("C_Verify", m_p11->C_Verify(m_session, data.data(), data.size(), mac.data(), mac.size()));
        CK_MECHANISM sha256{CKM_SHA256, nullptr, 0};
        std::vector<CK_BYTE> digest(32);
        length = digest.size();
        ok = ok && call("C_DigestInit", m_p11->C_DigestInit(m_session, &sha256)) &&
             call("C_Digest", m_p11->C_Digest(m_session, data.data(), data.size(), digest.data(), &length));
        printHex("digest", digest);
        const CK_OBJECT_HANDLE aesKey = secretKey(CKK_AES, 0x4D);
        std::vector<CK_BYTE> iv(16, 0x1F);
        CK_MECHANISM cbcPad{CKM_AES_CBC_PAD, iv.data(), iv.size()};
        std::vector<CK_BYTE> cipher(4512);
        length = cipher.size();
        ok = ok && call("C_EncryptInit", m_p11->C_EncryptInit(m_session, &cbcPad, aesKey)) &&
             call("C_Encrypt", m_p11->C_Encrypt(m_session, data.data(), data.size(), cipher.data(), &length));
        std::vector<CK_BYTE> plain(cipher.size());
        length = plain.size();
        ok = ok && call("C_DecryptInit", m_p11->C_DecryptInit(m_session, &cbcPad, aesKey)) &&
             call("C_Decrypt", m_p11->C_Decrypt(m_session, cipher.data(), cipher.size(), plain.data(), &length));
        plain.resize(length);
        return ok && plain == data;
    }

    bool signInit()
    {
        CK_MECHANISM ecdsa{CKM_ECDSA, nullptr, 0};
        return call("C_SignInit", m_p11->C_SignInit(m_session, &ecdsa, m_key));
    }

    bool sign() { return signInit() && signOnce(); }

    bool signRetrying(unsigned long count)
    {
        constexpr int kMostAttempts = 50;
        unsigned long failed = 0;
        unsigned long attempts = 0;
        for (unsigned long i = 0; i < count; ++i) {
            bool done = false;
            for (int attempt = 0; attempt < kMostAttempts && !done; ++attempt) {
                ++attempts;
                done = sign();
            }
            failed += done ? 0 : 1;
        }
        std::printf("signatures %lu failed %lu attempts %lu\n", count, failed, attempts);
        return failed == 0;
    }

    bool signOnce()
    {
        CK_BYTE hash[32];
        std::memset(hash, 0x5C, sizeof hash);
        CK_BYTE signature[128];
        CK_ULONG length = sizeof signature;
        const long long start = nowMs();
        const CK_RV rv = m_p11->C_Sign(m_session, hash, sizeof hash, signature, &length);
        std::printf("call C_Sign 0x%lx len %lu ms %lld\n", rv, length, nowMs() - start);
        return rv == CKR_OK && length == 64;
    }

    bool signTimes(unsigned long count)
    {
        unsigned long failed = 0;
        for (unsigned long i = 0; i < count; ++i) {
            failed += sign() ? 0 : 1;
        }
        std::printf("signatures %lu failed %lu\n", count, failed);
        return failed == 0;
    }

    bool signUntil(const std::string& file)
    {
        const auto end = Clock::now() + kLongestLoop;
        unsigned long count = 0;
        unsigned long failed = 0;
        while (::access(file.c_str(), F_OK) != 0 && Clock::now() < end) {
            failed += sign() ? 0 : 1;
            ++count;
        }
        std::printf("signatures %lu failed %lu\n", count, failed);
        return failed == 0 && ::access(file.c_str(), F_OK) == 0;
    }

    // A reply meant for another request shows as a length other than the
    // one asked for: too long fails the call, too short leaves the end of
    // the buffer as it was.
    bool randomOnce(CK_ULONG length)
    {
        constexpr CK_BYTE kUntouched = 0xA5;
        std::vector<CK_BYTE> buffer(length + 16, kUntouched);
        const long long start = nowMs();
        const CK_RV rv = m_p11->C_GenerateRandom(m_session, buffer.data(), length);
        const long long took = nowMs() - start;
        const bool beyond = std::all_of(buffer.begin() + length, buffer.end(), [](CK_BYTE b) { return b == 0xA5; });
        const size_t tail = std::min<CK_ULONG>(length, 8);
        const bool filled = !std::all_of(buffer.begin() + (length - tail), buffer.begin() + length,
                                         [](CK_BYTE b) { return b == 0xA5; });
        std::printf("call C_GenerateRandom 0x%lx len %lu ms %lld%s\n", rv, length, took,
                    rv == CKR_OK && !(beyond && filled) ? " wrong-length" : "");
        return rv == CKR_OK && beyond && filled;
    }

    bool random(Words& words)
    {
        const unsigned long count = takeNumber(words, "count");
        std::vector<CK_ULONG> lengths;
        while (nextIsArgument(words)) {
            lengths.push_back(takeNumber(words, "length"));
        }
        if (lengths.empty()) {
            throw UsageError{"random needs a length"};
        }
        unsigned long failed = 0;
        for (unsigned long i = 0; i < count; ++i) {
            failed += randomOnce(lengths[i % lengths.size()]) ? 0 : 1;
        }
        std::printf("random %lu failed %lu\n", count, failed);
        return failed == 0;
    }

    bool slots()
    {
        CK_ULONG count = 0;
        if (!call("C_GetSlotList", m_p11->C_GetSlotList(CK_FALSE, nullptr, &count))) {
            return false;
        }
        std::vector<CK_SLOT_ID> ids(count);
        bool ok = call("C_GetSlotList", m_p11->C_GetSlotList(CK_FALSE, ids.data(), &count));
        for (CK_ULONG i = 0; ok && i < count; ++i) {
            CK_SLOT_INFO slot{};
            CK_TOKEN_INFO token{};
            ok = call("C_GetSlotInfo", m_p11->C_GetSlotInfo(ids[i], &slot)) &&
                 call("C_GetTokenInfo", m_p11->C_GetTokenInfo(ids[i], &token));
        }
        return ok;
    }

    bool cycle(unsigned long count)
    {
        bool ok = true;
        for (unsigned long i = 0; i < count; ++i) {
            ok = call("C_Initialize", m_p11->C_Initialize(nullptr)) && slots() && ok;
            ok = call("C_Finalize", m_p11->C_Finalize(nullptr)) && ok;
        }
        return ok;
    }

    bool retry(Words& words)
    {
        const auto end = Clock::now() + std::chrono::seconds(takeNumber(words, "seconds"));
        const Words attempt = words;
        for (;;) {
            Words left = attempt;
            const bool ok = step(left);
            if (ok || Clock::now() >= end) {
                words = left;
                return ok;
            }
        }
    }

    CK_FUNCTION_LIST_PTR m_p11;
    CK_SESSION_HANDLE m_session = CK_INVALID_HANDLE;
    CK_OBJECT_HANDLE m_key = CK_INVALID_HANDLE;
};

Words split(const std::string& line)
{
    Words words;
    std::istringstream in(line);
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    return words;
}

bool runAll(Worker& worker, Words words)
{
    bool ok = true;
    while (!words.empty()) {
        if (words.front() == "-") {
            words.pop_front();
            for (std::string line; std::getline(std::cin, line);) {
                ok = runAll(worker, split(line)) && ok;
            }
            continue;
        }
        ok = worker.step(words) && ok;
    }
    return ok;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3 || ::chdir(argv[2]) != 0) {
        std::fprintf(stderr, "usage: %s MODULE DIR STEP...\n", argv[0]);
        return 2;
    }
    void* module = ::dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    auto* getList = module ? reinterpret_cast<CK_C_GetFunctionList>(::dlsym(module, "C_GetFunctionList")) : nullptr;
    CK_FUNCTION_LIST_PTR p11 = nullptr;
    if (getList == nullptr || getList(&p11) != CKR_OK) {
        std::fprintf(stderr, "cannot load %s: %s\n", argv[1], ::dlerror());
        return 2;
    }
    Worker worker(p11);
    try {
        const bool ok = runAll(worker, Words(argv + 3, argv + argc));
        std::fflush(stdout);
        return ok ? 0 : 1;
    } catch (const UsageError& error) {
        std::printf("usage error: %s\n", error.text.c_str());
        return 2;
    }
}
