#include "CContext.h"

#include <pthread.h>

#include <fstream>

#include "Configuration.h"

namespace vexa::pkcs11 {
namespace {

using namespace corvel;

std::atomic<CContext*> g_context{nullptr};
// Set in a child process by fork; the next call replaces the context.
std::atomic<bool> g_forked{false};
// Guards the creation and replacement of the context. Held across fork, so
// that a child never inherits it locked.
std::mutex g_instanceMutex;

void beforeFork() { g_instanceMutex.lock(); }
void afterForkInParent() { g_instanceMutex.unlock(); }
void afterForkInChild()
{
    g_instanceMutex.unlock();
    g_forked.store(true);
}

TransportKind kindOf(TransportChoice choice)
{
    switch (choice) {
    case TransportChoice::Unix:
        return unixTransportKind();
    case TransportChoice::Tls:
        return tlsTransportKind();
    case TransportChoice::Hid:
        break;
    }
    return hidTransportKind();
}

void applyLogging(CLogTarget& log, const LibraryConfiguration& configuration)
{
    if (!configuration.hasLogging) {
        return;
    }
    log.setLogLevel(configuration.logLevel);
    if (configuration.logFile) {
        log.openLogFile(*configuration.logFile);
    }
    log.setLogConsole(configuration.logConsole);
}

void logParseFailure(CLogTarget& log, const std::string& error)
{
    log.logText(kLogWarn, "Failed to parse config");
    log.logText(kLogDebug, error);
}

// The lock file is created when it is not there, and must open for reading
// and writing, as each token's part of it will.
bool prepareLockFile(CLogTarget& log, const std::string& path)
{
    log.logFormat(kLogDebug, "Process lockfile: %s", path.c_str());
    if (!std::ifstream(path).is_open()) {
        log.logFormat(kLogDebug, "Creating lockfile: %s", path.c_str());
        std::ofstream create(path, std::ios::out | std::ios::trunc);
    }
    std::fstream check(path, std::ios::in | std::ios::out);
    if (!check.is_open()) {
        logParseFailure(log, "Cannot open the lock file " + path);
        return false;
    }
    return true;
}

}  // namespace

// The first call after a fork finds the context of the parent: its
// connections stay the parent's, its locks may be held by threads the child
// does not have. It is left alone for good, and the child starts afresh.
CContext& CContext::instance()
{
    CContext* context = g_context.load(std::memory_order_acquire);
    if (context != nullptr && !g_forked.load(std::memory_order_relaxed)) {
        return *context;
    }
    std::lock_guard<std::mutex> lock(g_instanceMutex);
    context = g_context.load(std::memory_order_relaxed);
    if (g_forked.exchange(false) && context != nullptr) {
        context->abandonAfterFork();
        context = nullptr;
    }
    if (context == nullptr) {
        static std::once_flag registered;
        std::call_once(registered, [] { ::pthread_atfork(beforeFork, afterForkInParent, afterForkInChild); });
        // Never destroyed: applications may call in from their own exit handlers.
        context = new CContext();
        g_context.store(context, std::memory_order_release);
    }
    return *context;
}

CContext::CContext() : CContext(findConfigDir(kConfigFileName)) {}

CContext::CContext(const std::string& configDir) : m_transportKind(hidTransportKind())
{
    const std::string path = configDir + kConfigFileName;
    std::ifstream file(path);
    if (!file.is_open()) {
        m_log.logText(kLogInfo, "Config file not found.");
    } else {
        applyConfiguration(readConfiguration(file), path);
    }
    m_log.logText(kLogDebug, "New Instance");
}

CContext::CContext(const std::string& configDir, TransportKind kind) : CContext(configDir)
{
    m_transportKind = std::move(kind);
}

CContext::~CContext() = default;

void CContext::applyConfiguration(const ConfigReading& reading, const std::string& path)
{
    const LibraryConfiguration& configuration = reading.configuration;
    applyLogging(m_log, configuration);
    for (const ConfigDiagnostic& d : reading.diagnostics) {
        m_log.logFormat(kLogWarn, "%s: %s; %s", d.key.empty() ? path.c_str() : d.key.c_str(), d.problem.c_str(),
                        d.effect.c_str());
    }
    m_settings = configuration.settings;
    if (configuration.unixRequested) {
        m_log.logText(kLogDebug, "Setting UNIX transport.");
    }
    if (configuration.transport == TransportChoice::Tls) {
        m_log.logText(kLogInfo, "Connecting to IP transport.");
    }
    m_transportKind = kindOf(configuration.transport);
    if (!reading.error.empty()) {
        logParseFailure(m_log, reading.error);
    }
    if (configuration.lockFile && prepareLockFile(m_log, *configuration.lockFile)) {
        m_lockFile = *configuration.lockFile;
    }
}

void CContext::abandonAfterFork()
{
    m_initialized = false;
    m_slots.abandonAfterFork();
}

}  // namespace vexa::pkcs11
