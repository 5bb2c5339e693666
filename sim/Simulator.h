#pragma once
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "FirmwareFactory.h"
#include "HidrawNode.h"
#include "Options.h"
#include "TokenDevice.h"
#include "TokenFaults.h"
#include "Trace.h"

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace vexa::sim {

// The umockdev testbed and every token on it, by serial number. Tokens can be
// unplugged and plugged again; each plug is a new device (new hidraw node, new
// firmware instance, as after a power cycle).
class CSimulator {
public:
    explicit CSimulator(const SimOptions& options);  // throws std::runtime_error
    ~CSimulator();                                   // unplugs every token and removes the testbed directory
    CSimulator(const CSimulator&) = delete;
    CSimulator& operator=(const CSimulator&) = delete;

    const std::string& rootDir() const { return m_root; }

    // The control operations; each throws UsageError with the reason.
    void plug(const std::string& text);
    void unplug(const std::string& serial);
    void setStall(const std::string& serial, bool on);
    void failNext(const std::string& serial, uint8_t code);
    void garbleNext(const std::string& serial);

private:
    struct Slot {
        TokenDescription description;
        CTokenFaults faults;
        std::atomic<CHidrawNode*> node{nullptr};  // what the token delivers to
        std::unique_ptr<CHidrawNode> ownedNode;
        std::unique_ptr<CTokenDevice> token;
    };

    void shutdown();
    void plug_inlock(Slot& slot);
    void unplug_inlock(Slot& slot);
    Slot& find_inlock(const std::string& serial);

    const FirmwareConfig m_firmware;
    const bool m_usbTiming;
    std::unique_ptr<CTrace> m_trace;
    UMockdevTestbed* m_testbed = nullptr;
    std::string m_root;

    std::mutex m_mutex;  // guards m_slots, m_retired and m_nextIndex
    std::map<std::string, std::unique_ptr<Slot>> m_slots;
    // Unplugged nodes: umockdev may still call them for handles left open.
    std::vector<std::unique_ptr<CHidrawNode>> m_retired;
    unsigned m_nextIndex = 0;
};

}  // namespace vexa::sim
