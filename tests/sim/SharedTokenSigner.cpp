// One application of several that use the same token over HID at once,
// through libvexa-pkcs11.so, for the shared-token tests:
//
//   vexa-sim-signer DIR COUNT NAME
//
// Works in DIR (where vexaconfig.json is looked up), logs in (a session
// another process logged in counts), makes an HMAC-SHA256 key with a secret
// of its own and signs COUNT messages that name NAME and their number. A call
// that fails with CKR_FUNCTION_FAILED (the token was busy, or a reply was
// lost) is made again; an earlier attempt may have reached the token, so an
// operation found active or missing is taken as such. Each signature is
// checked against the HMAC computed here: another process's reply, or a
// reply to an earlier call, cannot pass. Prints one line
//
//   signed N retries R wrong W slowest_ms S seconds T
//
// and exits 0 when all COUNT signatures are right. Never calls C_Logout: the
// token keeps one login state for all its clients, so it would log the other
// process out too.
#include <mbedtls/md.h>
#include <p11-kit/pkcs11.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<CK_BYTE>;
using Clock = std::chrono::steady_clock;

constexpr int kMaxAttempts = 200;

struct Tally {
    long retries = 0;
    long wrong = 0;
    Clock::duration slowest{};
};

Tally tally;

// A random pause before the next attempt, growing with the attempts: two
// processes that retry at once would otherwise keep meeting.
void backOff(int attempt)
{
    static std::minstd_rand pauses(static_cast<unsigned>(::getpid()));
    const unsigned ceilingUs = 1000u << std::min(attempt, 4);
    std::this_thread::sleep_for(std::chrono::microseconds(1000 + pauses() % ceilingUs));
}

// Calls f until it gives something other than CKR_FUNCTION_FAILED, timing
// each call.
template <typename F>
CK_RV retried(F f)
{
    CK_RV rv = CKR_FUNCTION_FAILED;
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
        const Clock::time_point start = Clock::now();
        rv = f();
        tally.slowest = std::max(tally.slowest, Clock::now() - start);
        if (rv != CKR_FUNCTION_FAILED) {
            break;
        }
        ++tally.retries;
        backOff(attempt);
    }
    return rv;
}

Bytes hmac(const Bytes& key, const std::string& message)
{
    Bytes mac(32);
    mbedtls_md_hmac(mbedtls_md_info_from_type(MBEDTLS_MD_SHA256), key.data(), key.size(),
                    reinterpret_cast<const unsigned char*>(message.data()), message.size(), mac.data());
    return mac;
}

bool fail(const char* what, CK_RV rv)
{
    std::fprintf(stderr, "%s: 0x%lx\n", what, rv);
    return false;
}

bool openLoggedInSession(CK_SESSION_HANDLE& session)
{
    CK_SLOT_ID slots[4];
    CK_ULONG count = 4;
    CK_RV rv = C_GetSlotList(CK_TRUE, slots, &count);
    if (rv != CKR_OK || count == 0) {
        return fail("C_GetSlotList", rv);
    }
    rv = retried(
        [&] { return C_OpenSession(slots[0], CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session); });
    if (rv != CKR_OK) {
        return fail("C_OpenSession", rv);
    }
    CK_UTF8CHAR pin[] = "123456";
    rv = retried([&] { return C_Login(session, CKU_USER, pin, 6); });
    if (rv != CKR_OK && rv != CKR_USER_ALREADY_LOGGED_IN) {
        return fail("C_Login", rv);
    }
    return true;
}

bool makeKey(CK_SESSION_HANDLE session, Bytes& secret, CK_OBJECT_HANDLE& key)
{
    CK_OBJECT_CLASS secretClass = CKO_SECRET_KEY;
    CK_KEY_TYPE generic = CKK_GENERIC_SECRET;
    CK_BBOOL yes = CK_TRUE;
    CK_BBOOL no = CK_FALSE;
    CK_ATTRIBUTE attributes[] = {{CKA_CLASS, &secretClass, sizeof secretClass},
                                 {CKA_KEY_TYPE, &generic, sizeof generic},
                                 {CKA_TOKEN, &no, sizeof no},
                                 {CKA_VALUE, secret.data(), secret.size()},
                                 {CKA_SIGN, &yes, sizeof yes}};
    const CK_RV rv = retried([&] { return C_CreateObject(session, attributes, 5, &key); });
    return rv == CKR_OK || fail("C_CreateObject", rv);
}

// One signature, made again from C_SignInit when an attempt that failed had
// in fact used up the operation.
bool sign(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key, const std::string& message, Bytes& mac)
{
    CK_MECHANISM mechanism{CKM_SHA256_HMAC, nullptr, 0};
    Bytes data(message.begin(), message.end());
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
        CK_RV rv = retried([&] { return C_SignInit(session, &mechanism, key); });
        if (rv != CKR_OK && rv != CKR_OPERATION_ACTIVE) {
            return fail("C_SignInit", rv);
        }
        mac.assign(64, 0);
        CK_ULONG length = mac.size();
        rv = retried([&] { return C_Sign(session, data.data(), data.size(), mac.data(), &length); });
        if (rv == CKR_OK) {
            mac.resize(length);
            return true;
        }
        if (rv != CKR_OPERATION_NOT_INITIALIZED) {
            return fail("C_Sign", rv);
        }
    }
    return fail("C_Sign: no attempt got through", CKR_FUNCTION_FAILED);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4 || ::chdir(argv[1]) != 0) {
        std::fprintf(stderr, "usage: %s DIR COUNT NAME\n", argv[0]);
        return 2;
    }
    const long count = std::strtol(argv[2], nullptr, 10);
    const std::string name = argv[3];
    const Clock::time_point start = Clock::now();
    CK_RV rv = C_Initialize(nullptr);
    if (rv != CKR_OK) {
        fail("C_Initialize", rv);
        return 1;
    }
    Bytes secret(32);
    for (size_t i = 0; i < secret.size(); ++i) {
        secret[i] = CK_BYTE(name[i % name.size()] + i);
    }
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
    if (!openLoggedInSession(session) || !makeKey(session, secret, key)) {
        return 1;
    }
    long signedCount = 0;
    for (long i = 0; i < count; ++i) {
        const std::string message = name + " message " + std::to_string(i);
        Bytes mac;
        if (!sign(session, key, message, mac)) {
            break;
        }
        ++signedCount;
        if (mac != hmac(secret, message)) {
            ++tally.wrong;
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf(
        "signed %ld retries %ld wrong %ld slowest_ms %lld seconds %.2f\n", signedCount, tally.retries, tally.wrong,
        static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(tally.slowest).count()), seconds);
    return signedCount == count && tally.wrong == 0 ? 0 : 1;
}
