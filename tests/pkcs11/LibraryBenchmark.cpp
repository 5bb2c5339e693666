// vexa-bench-library: what libvexa-pkcs11.so costs an application, on two
// simulated tokens, through vexa-daemon (-t unix) and over HID directly.
//
//   vexa-bench-library [--module PATH]... [--seconds S] [--p11kit]
//
// For each module (default: the one built beside this program) it prints
// the calls per second of C_GenerateRandom (32 bytes) made by 1 and 2
// threads on 1 and 2 tokens, each thread with a session of its own and the
// library initialised with CKF_OS_LOCKING_OK, and, through the daemon, the
// library's CPU time per call (the application process's CPU time divided
// by the calls) of C_GenerateRandom (32 bytes), C_GetTokenInfo and an ECDSA
// P-256 signature (C_SignInit and C_Sign). With --p11kit it measures the
// same on a SoftHSM2 token behind `p11-kit server`, reached through
// p11-kit's client module, for comparison.
#include <dlfcn.h>
#include <p11-kit/pkcs11.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Process.h"
#include "RealDaemon.h"
#include "TempDir.h"
#include "TokenSimulator.h"

namespace {

using Clock = std::chrono::steady_clock;

const char* const kSerials[] = {"0123456789AB", "0123456789AC"};
const char* const kUserPin = "123456";
const char* const kSoftHsm = "/usr/lib/softhsm/libsofthsm2.so";
const char* const kP11KitClient = "/usr/lib/x86_64-linux-gnu/pkcs11/p11-kit-client.so";
constexpr int kCpuCalls = 2000;

CK_BYTE kP256[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
CK_BBOOL kTrue = CK_TRUE;
CK_BBOOL kFalse = CK_FALSE;

double processCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

void require(const char* call, CK_RV rv)
{
    if (rv != CKR_OK) {
        char text[120];
        std::snprintf(text, sizeof text, "%s returned 0x%lx", call, rv);
        throw std::runtime_error(text);
    }
}

// The module as the application sees it, with one session per user.
class Module {
public:
    explicit Module(const std::string& path)
    {
        m_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (m_handle == nullptr) {
            throw std::runtime_error(std::string("dlopen: ") + dlerror());
        }
        auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(m_handle, "C_GetFunctionList"));
        if (getList == nullptr) {
            throw std::runtime_error("no C_GetFunctionList");
        }
        require("C_GetFunctionList", getList(&p11));
        CK_C_INITIALIZE_ARGS args{};
        args.flags = CKF_OS_LOCKING_OK;
        require("C_Initialize", p11->C_Initialize(&args));
    }
    ~Module()
    {
        p11->C_Finalize(nullptr);
        dlclose(m_handle);
    }
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    std::vector<CK_SLOT_ID> slots() const
    {
        CK_ULONG count = 0;
        require("C_GetSlotList", p11->C_GetSlotList(CK_TRUE, nullptr, &count));
        std::vector<CK_SLOT_ID> list(count);
        require("C_GetSlotList", p11->C_GetSlotList(CK_TRUE, list.data(), &count));
        list.resize(count);
        return list;
    }

    CK_SESSION_HANDLE openSession(CK_SLOT_ID slot) const
    {
        CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
        require("C_OpenSession",
                p11->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session));
        return session;
    }

    CK_FUNCTION_LIST_PTR p11 = nullptr;

private:
    void* m_handle = nullptr;
};

// C_GenerateRandom of 32 bytes on each thread's own session until told to
// stop; calls per second of all threads together.
double randomThroughput(const Module& module, const std::vector<CK_SLOT_ID>& slots, size_t threads, size_t tokens,
                        double seconds, unsigned long& failures)
{
    std::vector<CK_SESSION_HANDLE> sessions;
    for (size_t i = 0; i < threads; ++i) {
        sessions.push_back(module.openSession(slots[i % tokens]));
    }
    std::atomic<bool> stop{false};
    std::atomic<unsigned long> calls{0};
    std::atomic<unsigned long> failed{0};
    std::vector<std::thread> workers;
    const auto began = Clock::now();
    for (size_t i = 0; i < threads; ++i) {
        workers.emplace_back([&, session = sessions[i]] {
            CK_BYTE random[32];
            unsigned long mine = 0;
            while (!stop.load(std::memory_order_relaxed)) {
                if (module.p11->C_GenerateRandom(session, random, sizeof random) != CKR_OK) {
                    failed.fetch_add(1);
                }
                ++mine;
            }
            calls.fetch_add(mine);
        });
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    for (auto& worker : workers) {
        worker.join();
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - began).count();
    for (const CK_SESSION_HANDLE session : sessions) {
        module.p11->C_CloseSession(session);
    }
    failures = failed.load();
    return double(calls.load()) / elapsed;
}

CK_OBJECT_HANDLE generateP256(const Module& module, CK_SESSION_HANDLE session)
{
    CK_MECHANISM mechanism{CKM_EC_KEY_PAIR_GEN, nullptr, 0};
    CK_ATTRIBUTE publicTemplate[] = {
        {CKA_EC_PARAMS, kP256, sizeof kP256}, {CKA_TOKEN, &kFalse, sizeof kFalse}, {CKA_VERIFY, &kTrue, sizeof kTrue}};
    CK_ATTRIBUTE privateTemplate[] = {
        {CKA_TOKEN, &kFalse, sizeof kFalse}, {CKA_PRIVATE, &kTrue, sizeof kTrue}, {CKA_SIGN, &kTrue, sizeof kTrue}};
    CK_OBJECT_HANDLE publicKey = CK_INVALID_HANDLE;
    CK_OBJECT_HANDLE privateKey = CK_INVALID_HANDLE;
    require("C_GenerateKeyPair", module.p11->C_GenerateKeyPair(session, &mechanism, publicTemplate, 3, privateTemplate,
                                                               3, &publicKey, &privateKey));
    return privateKey;
}

// The process's CPU time and the wall time per call of `call`, made
// kCpuCalls times in this one thread.
template <typename Call>
void measureCpu(const char* what, Call call)
{
    call();  // warm-up
    const double cpu0 = processCpuSeconds();
    const auto wall0 = Clock::now();
    for (int i = 0; i < kCpuCalls; ++i) {
        call();
    }
    const double cpu = processCpuSeconds() - cpu0;
    const double wall = std::chrono::duration<double>(Clock::now() - wall0).count();
    std::printf("  CPU per call %-24s %6.1f us   (%6.0f calls/s)\n", what, cpu / kCpuCalls * 1e6, kCpuCalls / wall);
    std::fflush(stdout);
}

void measureCallCosts(const Module& module, CK_SLOT_ID slot)
{
    const CK_SESSION_HANDLE session = module.openSession(slot);
    const CK_RV login = module.p11->C_Login(session, CKU_USER, (CK_UTF8CHAR_PTR)kUserPin, std::strlen(kUserPin));
    if (login != CKR_USER_ALREADY_LOGGED_IN) {
        require("C_Login", login);
    }
    const CK_OBJECT_HANDLE key = generateP256(module, session);
    CK_BYTE random[32];
    measureCpu("C_GenerateRandom 32 B",
               [&] { require("C_GenerateRandom", module.p11->C_GenerateRandom(session, random, 32)); });
    CK_TOKEN_INFO info;
    measureCpu("C_GetTokenInfo", [&] { require("C_GetTokenInfo", module.p11->C_GetTokenInfo(slot, &info)); });
    CK_BYTE hash[32] = {1, 2, 3};
    measureCpu("ECDSA P-256 init+sign", [&] {
        CK_MECHANISM ecdsa{CKM_ECDSA, nullptr, 0};
        require("C_SignInit", module.p11->C_SignInit(session, &ecdsa, key));
        CK_BYTE signature[128];
        CK_ULONG length = sizeof signature;
        require("C_Sign", module.p11->C_Sign(session, hash, sizeof hash, signature, &length));
    });
    module.p11->C_CloseSession(session);
}

// Runs in the deployment's working directory: what the outer process prints.
int inner(const std::string& mode, const std::string& modulePath, double seconds)
{
    Module module(modulePath);
    const std::vector<CK_SLOT_ID> slots = module.slots();
    const size_t maxTokens = std::min<size_t>(slots.size(), 2);
    if (maxTokens == 0) {
        std::printf("  no token\n");
        return 1;
    }
    struct Shape {
        size_t threads;
        size_t tokens;
    };
    double single = 0;
    for (const Shape shape : {Shape{1, 1}, Shape{1, 2}, Shape{2, 1}, Shape{2, 2}}) {
        if (shape.tokens > maxTokens) {
            continue;
        }
        unsigned long failures = 0;
        const double rate = randomThroughput(module, slots, shape.threads, shape.tokens, seconds, failures);
        if (shape.threads == 1 && shape.tokens == 1) {
            single = rate;
        }
        std::printf("  C_GenerateRandom 32 B, %zu thread%s on %zu token%s: %7.0f calls/s  (%.2fx)%s\n", shape.threads,
                    shape.threads == 1 ? " " : "s", shape.tokens, shape.tokens == 1 ? " " : "s", rate,
                    single > 0 ? rate / single : 0.0, failures != 0 ? "  FAILURES" : "");
        std::fflush(stdout);
    }
    if (mode != "hid") {
        measureCallCosts(module, slots[0]);
    }
    return 0;
}

void writeFile(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

std::vector<std::string> innerCommand(const std::string& self, const std::string& dir, const std::string& mode,
                                      const std::string& module, double seconds)
{
    return {"env", "-C", dir, self, "--inner", mode, module, std::to_string(seconds)};
}

int report(const char* title, const std::string& module, const vexa::test::RunResult& result)
{
    std::printf("%s, %s\n%s", title, module.c_str(), result.output.c_str());
    if (result.status != 0) {
        std::printf("  (ended with status %d)\n", result.status);
    }
    std::fflush(stdout);
    return result.status;
}

int throughTheDaemon(const std::string& self, const std::vector<std::string>& modules, double seconds)
{
    vexa::test::TempDir sockets("vexa-bench-sockets");
    vexa::test::TempDir work("vexa-bench");
    const auto daemon =
        vexa::test::RealDaemon::unix({"--token", kSerials[0], "--token", kSerials[1]}, sockets.path(), 2);
    writeFile(work.file("vexaconfig.json"), R"({"transport": {"unix": true, "sockdir": ")" + sockets.path() + "\"}}");
    int status = 0;
    for (const std::string& module : modules) {
        const auto result = vexa::test::runProgram(innerCommand(self, work.path(), "daemon", module, seconds), {},
                                                   std::chrono::minutes(10));
        status |= report("Through vexa-daemon -t unix", module, result);
    }
    return status;
}

int overHid(const std::string& self, const std::vector<std::string>& modules, double seconds)
{
    vexa::test::TempDir work("vexa-bench");
    vexa::test::TokenSimulator simulator({"--token", kSerials[0], "--token", kSerials[1]});
    int status = 0;
    for (const std::string& module : modules) {
        const auto result =
            simulator.run(innerCommand(self, work.path(), "hid", module, seconds), {}, std::chrono::minutes(10));
        status |= report("Over HID directly", module, result);
    }
    return status;
}

// SoftHSM2 behind `p11-kit server`, reached through p11-kit's client module.
int throughP11Kit(const std::string& self, double seconds)
{
    vexa::test::TempDir dir("vexa-bench-softhsm");
    writeFile(dir.file("softhsm2.conf"), "directories.tokendir = " + dir.path() + "\nobjectstore.backend = file\n");
    ::mkdir(dir.path().c_str(), 0700);
    const vexa::test::Environment softhsm{{"SOFTHSM2_CONF", dir.file("softhsm2.conf")}};
    const auto made = vexa::test::runProgram(
        {"softhsm2-util", "--init-token", "--free", "--label", "bench", "--so-pin", "12345678", "--pin", kUserPin},
        softhsm);
    if (made.status != 0) {
        std::printf("SoftHSM2 behind p11-kit server: cannot make a token: %s\n", made.output.c_str());
        return 1;
    }
    const std::string socket = dir.file("p11-kit.sock");
    std::vector<std::string> argv{"p11-kit", "server",     "-f",     "-n",
                                  socket,    "--provider", kSoftHsm, "pkcs11:token=bench"};
    std::vector<char*> args;
    for (auto& arg : argv) {
        args.push_back(arg.data());
    }
    args.push_back(nullptr);
    const std::vector<std::string> env = vexa::test::mergedEnvironment(softhsm);
    std::vector<char*> envp;
    for (const auto& entry : env) {
        envp.push_back(const_cast<char*>(entry.c_str()));
    }
    envp.push_back(nullptr);
    pid_t server = -1;
    if (posix_spawnp(&server, "p11-kit", nullptr, nullptr, args.data(), envp.data()) != 0) {
        std::printf("SoftHSM2 behind p11-kit server: cannot start p11-kit server\n");
        return 1;
    }
    struct stat info {};
    for (int i = 0; i < 500 && ::stat(socket.c_str(), &info) != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const auto result =
        vexa::test::runProgram(innerCommand(self, dir.path(), "p11kit", kP11KitClient, seconds),
                               {{"P11_KIT_SERVER_ADDRESS", "unix:path=" + socket}}, std::chrono::minutes(10));
    const int status = report("SoftHSM2 behind p11-kit server", kP11KitClient, result);
    ::kill(server, SIGTERM);
    ::waitpid(server, nullptr, 0);
    return status;
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        if (argc == 5 && std::string(argv[1]) == "--inner") {
            return inner(argv[2], argv[3], std::stod(argv[4]));
        }
        std::vector<std::string> modules;
        double seconds = 3;
        bool p11kit = false;
        for (int i = 1; i < argc; ++i) {
            const std::string arg = argv[i];
            if (arg == "--module" && i + 1 < argc) {
                modules.push_back(argv[++i]);
            } else if (arg == "--seconds" && i + 1 < argc) {
                seconds = std::stod(argv[++i]);
            } else if (arg == "--p11kit") {
                p11kit = true;
            } else {
                std::fprintf(stderr, "usage: %s [--module PATH]... [--seconds S] [--p11kit]\n", argv[0]);
                return 2;
            }
        }
        if (modules.empty()) {
            modules.push_back(VEXA_PKCS11_MODULE);
        }
        char self[4096];
        const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
        if (length <= 0) {
            throw std::runtime_error("cannot find this program");
        }
        self[length] = '\0';
        int status = throughTheDaemon(self, modules, seconds);
        status |= overHid(self, modules, seconds);
        if (p11kit) {
            status |= throughP11Kit(self, seconds);
        }
        return status == 0 ? 0 : 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "vexa-bench-library: %s\n", error.what());
        return 1;
    }
}
