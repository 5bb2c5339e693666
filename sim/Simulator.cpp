#include "Simulator.h"

#include <umockdev.h>

#include "SimLog.h"

namespace vexa::sim {

CSimulator::CSimulator(const SimOptions& options) : m_firmware(options.firmware), m_usbTiming(options.usbTiming)
{
    checkFirmwareConfig(m_firmware);
    if (!options.traceFile.empty()) {
        m_trace = std::make_unique<CTrace>(options.traceFile);
    }
    m_testbed = umockdev_testbed_new();
    gchar* root = umockdev_testbed_get_root_dir(m_testbed);
    m_root = root;
    g_free(root);
    try {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const TokenDescription& description : options.tokens) {
            auto slot = std::make_unique<Slot>();
            slot->description = description;
            plug_inlock(*slot);
            m_slots.emplace(description.serial, std::move(slot));
        }
    } catch (...) {
        shutdown();
        throw;
    }
}

CSimulator::~CSimulator() { shutdown(); }

void CSimulator::shutdown()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto& [serial, slot] : m_slots) {
        unplug_inlock(*slot);
    }
    m_slots.clear();
    if (m_testbed) {
        g_object_unref(m_testbed);  // also removes the testbed directory
    }
    m_testbed = nullptr;
    m_retired.clear();
}

void CSimulator::plug_inlock(Slot& slot)
{
    Slot* target = &slot;
    TokenIdentity identity{slot.description.serial, slot.description.product};
    auto deliver = [target](const Report& report) {
        if (CHidrawNode* node = target->node.load()) {
            node->deliver(report);
        }
    };
    auto working = [target](bool on) {
        if (CHidrawNode* node = target->node.load()) {
            node->setTokenWorking(on);
        }
    };
    slot.token = std::make_unique<CTokenDevice>(slot.description, makeFirmware(m_firmware, identity), slot.faults,
                                                m_trace.get(), m_usbTiming, deliver, working);
    CTokenDevice* token = slot.token.get();
    slot.ownedNode = std::make_unique<CHidrawNode>(m_testbed, m_nextIndex++, slot.description, m_usbTiming,
                                                   [token](std::vector<uint8_t> bytes, CTokenDevice::Written written) {
                                                       token->receive(std::move(bytes), std::move(written));
                                                   });
    slot.node = slot.ownedNode.get();
    logVerbose("%s plugged in as %s (%s framing)", slot.description.serial.c_str(), slot.ownedNode->devnode().c_str(),
               framingName(slot.description.framing));
}

void CSimulator::unplug_inlock(Slot& slot)
{
    if (!slot.ownedNode) {
        return;
    }
    slot.ownedNode->unplug();
    slot.node = nullptr;
    slot.token.reset();  // completes writes it still held, through the node
    m_retired.push_back(std::move(slot.ownedNode));
}

CSimulator::Slot& CSimulator::find_inlock(const std::string& serial)
{
    auto it = m_slots.find(serial);
    if (it == m_slots.end()) {
        throw UsageError("no token " + serial);
    }
    return *it->second;
}

void CSimulator::plug(const std::string& text)
{
    const TokenDescription description = parseTokenDescription(text);
    const bool optionsGiven = text.find(',') != std::string::npos;
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_slots.find(description.serial);
    if (it == m_slots.end()) {
        auto slot = std::make_unique<Slot>();
        slot->description = description;
        plug_inlock(*slot);
        m_slots.emplace(description.serial, std::move(slot));
        return;
    }
    Slot& slot = *it->second;
    if (slot.ownedNode) {
        throw UsageError("token " + description.serial + " is already plugged in");
    }
    if (optionsGiven) {
        slot.description = description;
    }
    plug_inlock(slot);
}

void CSimulator::unplug(const std::string& serial)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Slot& slot = find_inlock(serial);
    if (!slot.ownedNode) {
        throw UsageError("token " + serial + " is not plugged in");
    }
    unplug_inlock(slot);
}

void CSimulator::setStall(const std::string& serial, bool on)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    find_inlock(serial).faults.setStall(on);
}

void CSimulator::failNext(const std::string& serial, uint8_t code)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Slot& slot = find_inlock(serial);
    if (slot.description.framing != Framing::U2f) {
        throw UsageError("token " + serial + " uses report-id framing, which has no ERROR frames");
    }
    slot.faults.failNext(code);
}

void CSimulator::garbleNext(const std::string& serial)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    find_inlock(serial).faults.garbleNext();
}

}  // namespace vexa::sim
