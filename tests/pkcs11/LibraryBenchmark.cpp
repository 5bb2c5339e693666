// vexa-bench-library: what libvexa-pkcs11.so costs an application, on two
// simulated tokens, through vexa-daemon (-t unix) and over HID directly.
//
//   vexa-bench-library [--module PATH]... [--seconds S] [--p11kit]
//
// For each module (default: the one built beside this program) it prints
// the calls per second of C_GenerateRandom (32 bytes) made by 1 and 2
// threads on 1 and 2 tokens, each thread with a session of its own and the
// library initialised with CKF_OS_LOCKING_OK (over HID also with the
// simulator pacing reports as USB does, and with two processes of one thread
// each for comparison), and, through the daemon, the
// library's CPU time per call (the application process's CPU time divided
// by the calls) of C_GenerateRandom (32 bytes), C_GetTokenInfo and an ECDSA
// P-256 signature (C_SignInit and C_Sign). With --p11kit it measures the
// same on a SoftHSM2 token behind `p11-kit server`, reached through
// p11-kit's client module, for comparison.
#include <dlfcn.h>
#include <p11-kit/pkcs11.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
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
constexpr int kCpuRounds = 15;
constexpr int kCpuCalls = 200;

CK_BYTE kP256[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
CK_BBOOL kTrue = CK_TRUE;
CK_BBOOL kFalse = CK_FALSE;

// The process's CPU time so far, in user and in system mode.
struct CpuTime {
    double user = 0;
    double system = 0;
};

CpuTime processCpu()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& tv) { return double(tv.tv_sec) + double(tv.tv_usec) / 1e6; };
    return {seconds(usage.ru_utime), seconds(usage.ru_stime)};
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

    // Over HID without a lock file, a token busy with another process's
    // request refuses this one: asked again, it answers.
    CK_SESSION_HANDLE openSession(CK_SLOT_ID slot) const
    {
        CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
        CK_RV rv = CKR_FUNCTION_FAILED;
        for (int attempt = 0; attempt < 100 && rv == CKR_FUNCTION_FAILED; ++attempt) {
            rv = p11->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session);
        }
        require("C_OpenSession", rv);
        return session;
    }

    CK_FUNCTION_LIST_PTR p11 = nullptr;

private:
    void* m_handle = nullptr;
};

// C_GenerateRandom of 32 bytes on each thread's own sessions until told to
// stop; calls per second of all threads together. Thread i works on token
// i % tokens; a thread alone on two tokens takes them in turn.
double randomThroughput(const Module& module, const std::vector<CK_SLOT_ID>& slots, size_t threads, size_t tokens,
                        double seconds, unsigned long& failures)
{
    std::vector<std::vector<CK_SESSION_HANDLE>> sessions(threads);
    for (size_t i = 0; i < std::max(threads, tokens); ++i) {
        sessions[i % threads].push_back(module.openSession(slots[i % tokens]));
    }
    std::atomic<bool> stop{false};
    std::atomic<unsigned long> calls{0};
    std::atomic<unsigned long> failed{0};
    std::vector<std::thread> workers;
    const auto began = Clock::now();
    for (size_t i = 0; i < threads; ++i) {
        workers.emplace_back([&, mySessions = sessions[i]] {
            CK_BYTE random[32];
            unsigned long mine = 0;
            while (!stop.load(std::memory_order_relaxed)) {
                const CK_SESSION_HANDLE session = mySessions[mine % mySessions.size()];
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
    for (const auto& mine : sessions) {
        for (const CK_SESSION_HANDLE session : mine) {
            module.p11->C_CloseSession(session);
        }
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

// The process's CPU time per call of `call`, made in this one thread in
// kCpuRounds rounds of kCpuCalls: the least and the median of the rounds'
// averages, so that a moment when the machine is busy with other work shows
// as what it is. Also the calls per second of the whole.
//
// The kernel counts the total exactly but splits it between user and system
// time by the timer ticks that fell into each: a round of a few milliseconds
// sees one tick or none and gives one of the two the whole. The split is
// therefore that of all rounds together.
template <typename Call>
void measureCpu(const char* what, Call call)
{
    call();  // warm-up
    std::vector<double> rounds;
    const auto wall0 = Clock::now();
    const CpuTime start = processCpu();
    for (int round = 0; round < kCpuRounds; ++round) {
        const CpuTime cpu0 = processCpu();
        for (int i = 0; i < kCpuCalls; ++i) {
            call();
        }
        const CpuTime cpu1 = processCpu();
        rounds.push_back((cpu1.user + cpu1.system - cpu0.user - cpu0.system) / kCpuCalls * 1e6);
    }
    const CpuTime end = processCpu();
    const double wall = std::chrono::duration<double>(Clock::now() - wall0).count();
    std::sort(rounds.begin(), rounds.end());
    constexpr double kAllCalls = kCpuRounds * kCpuCalls;
    std::printf(
        "  CPU per call %-24s %6.1f us, median %6.1f us (all rounds: user %5.1f, system %5.1f)   %6.0f calls/s\n", what,
        rounds.front(), rounds[rounds.size() / 2], (end.user - start.user) / kAllCalls * 1e6,
        (end.system - start.system) / kAllCalls * 1e6, kAllCalls / wall);
    std::fflush(stdout);
}

// What an exchange through the daemon costs the process without any library:
// a request for the token information (function 34) in a client packet on
// the token's socket, and one receive of the reply.
void measureFloor(const std::string& socketPath)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        throw std::runtime_error("cannot connect to " + socketPath);
    }
    const uint8_t packet[] = {2, 0, 0, 0, 0, 0x08, 34};
    uint8_t reply[2048];
    measureCpu("no library (raw socket)", [&] {
        if (::send(fd, packet, sizeof packet, MSG_NOSIGNAL) != sizeof packet ||
            ::recv(fd, reply, sizeof reply, 0) <= 0) {
            throw std::runtime_error("the daemon did not answer");
        }
    });
    ::close(fd);
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
// Mode "daemon" measures everything, "hid" the calls per second, "cpu" (for a
// profiler) the CPU time per call, "token0" and "token1" the calls per second
// of one thread on that token alone. With socketPath, the CPU time of an
// exchange without the library comes first.
int inner(const std::string& mode, const std::string& modulePath, double seconds, const std::string& socketPath)
{
    if (!socketPath.empty()) {
        measureFloor(socketPath);
    }
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
    if (mode == "cpu") {
        measureCallCosts(module, slots[0]);
        return 0;
    }
    if (mode == "token0" || mode == "token1") {
        const size_t token = mode == "token0" ? 0 : 1;
        unsigned long failures = 0;
        const std::vector<CK_SLOT_ID> one{slots.at(token)};
        std::printf("rate %.0f%s\n", randomThroughput(module, one, 1, 1, seconds, failures),
                    failures != 0 ? "  FAILURES" : "");
        return 0;
    }
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
                                      const std::string& module, double seconds, const std::string& socketPath = "")
{
    return {"env", "-C", dir, self, "--inner", mode, module, std::to_string(seconds), socketPath};
}

// Two processes with one thread each, each on a token of its own, run at the
// same time: what the machine, the daemon and the simulator allow two tokens
// when nothing in one process is shared.
template <typename Run>
void twoProcesses(Run run)
{
    std::string outputs[2];
    std::thread first([&] { outputs[0] = run("token0"); });
    std::thread second([&] { outputs[1] = run("token1"); });
    first.join();
    second.join();
    double total = 0;
    std::string rates;
    for (const std::string& output : outputs) {
        const size_t at = output.find("rate ");
        const double rate = at == std::string::npos ? 0 : std::atof(output.c_str() + at + 5);
        total += rate;
        rates += (rates.empty() ? "" : " + ") + std::to_string(static_cast<long>(rate));
    }
    std::printf("  for comparison: 2 processes, 1 thread on 1 token each: %s = %.0f calls/s\n", rates.c_str(), total);
    std::fflush(stdout);
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
        const std::string socket = sockets.file(std::string("vexa.") + kSerials[0] + ".sock");
        const auto result = vexa::test::runProgram(innerCommand(self, work.path(), "daemon", module, seconds, socket),
                                                   {}, std::chrono::minutes(10));
        status |= report("Through vexa-daemon -t unix", module, result);
    }
    twoProcesses([&](const char* mode) {
        return vexa::test::runProgram(innerCommand(self, work.path(), mode, modules.front(), seconds), {},
                                      std::chrono::minutes(10))
            .output;
    });
    return status;
}

// With usbTiming the simulator paces reports as a full-speed USB endpoint
// does (1 ms each), so a call takes about as long as on a real token.
int overHid(const std::string& self, const std::vector<std::string>& modules, double seconds, bool usbTiming)
{
    vexa::test::TempDir work("vexa-bench");
    std::vector<std::string> tokens{"--token", kSerials[0], "--token", kSerials[1]};
    if (usbTiming) {
        tokens.push_back("--usb-timing");
    }
    vexa::test::TokenSimulator simulator(tokens);
    const char* title = usbTiming ? "Over HID directly, reports paced as on USB" : "Over HID directly";
    int status = 0;
    for (const std::string& module : modules) {
        const auto result =
            simulator.run(innerCommand(self, work.path(), "hid", module, seconds), {}, std::chrono::minutes(10));
        status |= report(title, module, result);
    }
    twoProcesses([&](const char* mode) {
        return simulator
            .run(innerCommand(self, work.path(), mode, modules.front(), seconds), {}, std::chrono::minutes(10))
            .output;
    });
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
        if ((argc == 5 || argc == 6) && std::string(argv[1]) == "--inner") {
            return inner(argv[2], argv[3], std::stod(argv[4]), argc == 6 ? argv[5] : "");
        }
        std::vector<std::string> modules;
        double seconds = 3;
        bool p11kit = false;
        for (int i = 1; i < argc; ++i) {
            const std::string arg = argv[i];
            if (arg == "--module" && i + 1 < argc) {
                // The measuring process runs in a directory of its own.
                char* absolute = ::realpath(argv[++i], nullptr);
                if (absolute == nullptr) {
                    throw std::runtime_error(std::string("no module ") + argv[i]);
                }
                modules.push_back(absolute);
                std::free(absolute);
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
        status |= overHid(self, modules, seconds, false);
        status |= overHid(self, modules, seconds, true);
        if (p11kit) {
            status |= throughP11Kit(self, seconds);
        }
        return status == 0 ? 0 : 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "vexa-bench-library: %s\n", error.what());
        return 1;
    }
}
