#include "SoftHsm.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <stdexcept>
#include <vector>

#include "FileStore.h"

namespace vexa::sim::engine {
namespace {

std::mutex g_registryMutex;  // guards g_live and g_liveDir
std::weak_ptr<CSoftHsm> g_live;
std::string g_liveDir;

std::runtime_error failure(const std::string& what, CK_RV rv)
{
    char code[16];
    std::snprintf(code, sizeof code, "0x%lx", static_cast<unsigned long>(rv));
    return std::runtime_error("SoftHSM2: " + what + " failed with " + code);
}

void writeConfig(const std::string& file, const std::string& tokenDir)
{
    std::string text = "directories.tokendir = " + tokenDir +
                       "\n"
                       "objectstore.backend = file\n"
                       "log.level = ERROR\n"
                       "slots.removable = false\n";
    if (!writeFileAtomic(file, Bytes(text.begin(), text.end()))) {
        throw std::runtime_error("cannot write " + file);
    }
}

CK_FUNCTION_LIST* loadLibrary(const std::string& library)
{
    // Never unloaded: the crypto library under SoftHSM2 keeps exit handlers.
    void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!handle) {
        throw std::runtime_error("cannot load " + library + ": " + dlerror());
    }
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle, "C_GetFunctionList"));
    CK_FUNCTION_LIST* api = nullptr;
    if (!getList || getList(&api) != CKR_OK || !api) {
        throw std::runtime_error(library + " is not a PKCS#11 module");
    }
    return api;
}

// SoftHSM2 reads SOFTHSM2_CONF only inside C_Initialize; the caller's
// environment is restored afterwards.
CK_RV initialiseWithConfig(CK_FUNCTION_LIST* api, const std::string& configFile)
{
    const char* old = std::getenv("SOFTHSM2_CONF");
    std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
    setenv("SOFTHSM2_CONF", configFile.c_str(), 1);
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    CK_RV rv = api->C_Initialize(&args);
    if (saved) {
        setenv("SOFTHSM2_CONF", saved->c_str(), 1);
    } else {
        unsetenv("SOFTHSM2_CONF");
    }
    return rv;
}

std::vector<CK_SLOT_ID> slotList(CK_FUNCTION_LIST* api)
{
    CK_ULONG count = 0;
    CK_RV rv = api->C_GetSlotList(CK_TRUE, nullptr, &count);
    std::vector<CK_SLOT_ID> slots(count);
    if (rv == CKR_OK && count) {
        rv = api->C_GetSlotList(CK_TRUE, slots.data(), &count);
    }
    if (rv != CKR_OK) {
        throw failure("C_GetSlotList", rv);
    }
    slots.resize(count);
    return slots;
}

struct SlotToken {
    CK_SLOT_ID slot;
    bool initialised;
    std::string serial;
};

std::vector<SlotToken> tokens(CK_FUNCTION_LIST* api)
{
    std::vector<SlotToken> out;
    for (CK_SLOT_ID slot : slotList(api)) {
        CK_TOKEN_INFO info{};
        if (api->C_GetTokenInfo(slot, &info) != CKR_OK) {
            continue;
        }
        out.push_back(
            {slot, (info.flags & CKF_TOKEN_INITIALIZED) != 0, trimmed(info.serialNumber, sizeof info.serialNumber)});
    }
    return out;
}

CK_UTF8CHAR_PTR pinBytes(const std::string& pin)
{
    return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin.data()));
}

void setUserPin(CK_FUNCTION_LIST* api, CK_SLOT_ID slot, const std::string& soPin, const std::string& userPin)
{
    CK_SESSION_HANDLE s = 0;
    CK_RV rv = api->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s);
    if (rv != CKR_OK) {
        throw failure("C_OpenSession", rv);
    }
    rv = api->C_Login(s, CKU_SO, pinBytes(soPin), soPin.size());
    if (rv == CKR_OK) {
        rv = api->C_InitPIN(s, pinBytes(userPin), userPin.size());
        api->C_Logout(s);
    }
    api->C_CloseSession(s);
    if (rv != CKR_OK) {
        throw failure("setting the user PIN", rv);
    }
}

}  // namespace

std::string padded(const std::string& text, size_t width)
{
    std::string out = text.substr(0, width);
    out.resize(width, ' ');
    return out;
}

std::string trimmed(const unsigned char* field, size_t width)
{
    std::string out(reinterpret_cast<const char*>(field), width);
    out.erase(out.find_last_not_of(' ') + 1);
    return out;
}

std::shared_ptr<CSoftHsm> CSoftHsm::acquire(const std::string& library, const std::string& stateDir)
{
    const std::string dir = std::filesystem::absolute(stateDir).lexically_normal().string();
    std::lock_guard<std::mutex> lock(g_registryMutex);
    if (auto live = g_live.lock()) {
        if (g_liveDir == dir) {
            return live;
        }
        throw std::runtime_error("SoftHSM2 already serves " + g_liveDir + " in this process");
    }
    ensureDirectory(dir + "/softhsm");
    const std::string config = dir + "/softhsm2.conf";
    writeConfig(config, dir + "/softhsm");
    CK_FUNCTION_LIST* api = loadLibrary(library);
    CK_RV rv = initialiseWithConfig(api, config);
    if (rv != CKR_OK) {
        throw failure("C_Initialize", rv);
    }
    std::shared_ptr<CSoftHsm> module(new CSoftHsm(api));
    g_live = module;
    g_liveDir = dir;
    return module;
}

CSoftHsm::CSoftHsm(CK_FUNCTION_LIST* api) : m_api(api) {}

CSoftHsm::~CSoftHsm() { m_api->C_Finalize(nullptr); }

std::optional<CK_SLOT_ID> CSoftHsm::findToken(const std::string& serial)
{
    if (serial.empty()) {
        return std::nullopt;
    }
    for (const SlotToken& t : tokens(m_api)) {
        if (t.initialised && t.serial == serial) {
            return t.slot;
        }
    }
    return std::nullopt;
}

std::string CSoftHsm::createToken(const TokenSetup& setup)
{
    std::lock_guard<std::mutex> lock(m_provisioning);
    std::set<std::string> known;
    std::optional<CK_SLOT_ID> free;
    for (const SlotToken& t : tokens(m_api)) {
        if (t.initialised) {
            known.insert(t.serial);
        } else if (!free) {
            free = t.slot;
        }
    }
    if (!free) {
        throw std::runtime_error("SoftHSM2 offers no free token");
    }
    std::string label = padded(setup.label, 32);
    CK_RV rv = m_api->C_InitToken(*free, pinBytes(setup.soPin), setup.soPin.size(),
                                  reinterpret_cast<CK_UTF8CHAR_PTR>(label.data()));
    if (rv != CKR_OK) {
        throw failure("C_InitToken", rv);
    }
    // SoftHSM2 moves a freshly initialised token to a slot named after its serial.
    for (const SlotToken& t : tokens(m_api)) {
        if (t.initialised && !known.count(t.serial)) {
            setUserPin(m_api, t.slot, setup.soPin, setup.userPin);
            return t.serial;
        }
    }
    throw std::runtime_error("SoftHSM2 token vanished after initialisation");
}

}  // namespace vexa::sim::engine
