#pragma once
// SoftHSM2 as the token's cryptographic core, loaded as a PKCS#11 module.
// SoftHSM2 keeps one configuration per process, so every token engine of a
// process shares one loaded module and one token directory.
#include <p11-kit/pkcs11.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace vexa::sim::engine {

constexpr const char* kDefaultSoftHsmLibrary = "/usr/lib/softhsm/libsofthsm2.so";

class CSoftHsm {
public:
    // Loads and initialises the module with its token directory under
    // `stateDir`, or returns the module already loaded for the same
    // directory. Throws std::runtime_error when the library cannot be loaded
    // or initialised, or when the process already uses another directory.
    static std::shared_ptr<CSoftHsm> acquire(const std::string& library, const std::string& stateDir);

    ~CSoftHsm();
    CSoftHsm(const CSoftHsm&) = delete;
    CSoftHsm& operator=(const CSoftHsm&) = delete;

    CK_FUNCTION_LIST* api() const { return m_api; }

    struct TokenSetup {
        std::string label;  // at most 32 bytes
        std::string soPin;
        std::string userPin;
    };
    // The slot whose token has the SoftHSM2 serial `serial`.
    std::optional<CK_SLOT_ID> findToken(const std::string& serial);
    // Initialises SoftHSM2's free token with the label and both PINs and
    // returns its serial. Throws std::runtime_error on failure.
    std::string createToken(const TokenSetup& setup);

private:
    explicit CSoftHsm(CK_FUNCTION_LIST* api);

    CK_FUNCTION_LIST* m_api;
    std::mutex m_provisioning;  // guards: claiming SoftHSM2's one free slot
};

// PKCS#11 fixed-width text fields are padded with spaces.
std::string padded(const std::string& text, size_t width);
std::string trimmed(const unsigned char* field, size_t width);

}  // namespace vexa::sim::engine
