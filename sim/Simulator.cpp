#include "Simulator.h"

#include <umockdev.h>

#include "SimLog.h"

namespace vexa::sim {

Simulator::Simulator(const SimOptions& options)
    : firmware_(options.firmware), usbTiming_(options.usbTiming) {
    checkFirmwareConfig(firmware_);
    if (!options.traceFile.empty())
        trace_ = std::make_unique<Trace>(options.traceFile);
    testbed_ = umockdev_testbed_new();
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    root_ = root;
    g_free(root);
    try {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const TokenDescription& description : options.tokens) {
            auto slot = std::make_unique<Slot>();
            slot->description = description;
            plug_inlock(*slot);
            slots_.emplace(description.serial, std::move(slot));
        }
    } catch (...) {
        shutdown();
        throw;
    }
}

Simulator::~Simulator() {
    shutdown();
}

void Simulator::shutdown() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [serial, slot] : slots_)
        unplug_inlock(*slot);
    slots_.clear();
    if (testbed_)
        g_object_unref(testbed_);  // also removes the testbed directory
    testbed_ = nullptr;
    retired_.clear();
}

void Simulator::plug_inlock(Slot& slot) {
    Slot* target = &slot;
    TokenIdentity identity{slot.description.serial, slot.description.product};
    slot.token = std::make_unique<TokenDevice>(slot.description, makeFirmware(firmware_, identity), slot.faults,
                                         trace_.get(), usbTiming_, [target](const Report& report) {
                                             if (HidrawNode* node = target->node.load())
                                                 node->deliver(report);
                                         });
    TokenDevice* token = slot.token.get();
    slot.ownedNode = std::make_unique<HidrawNode>(testbed_, nextIndex_++, slot.description, usbTiming_,
                                                  [token](std::vector<uint8_t> bytes, TokenDevice::Written written) {
                                                      token->receive(std::move(bytes), std::move(written));
                                                  });
    slot.node = slot.ownedNode.get();
    logVerbose("%s plugged in as %s (%s framing)", slot.description.serial.c_str(),
               slot.ownedNode->devnode().c_str(), framingName(slot.description.framing));
}

void Simulator::unplug_inlock(Slot& slot) {
    if (!slot.ownedNode)
        return;
    slot.ownedNode->unplug();
    slot.node = nullptr;
    slot.token.reset();  // completes writes it still held, through the node
    retired_.push_back(std::move(slot.ownedNode));
}

Simulator::Slot& Simulator::find_inlock(const std::string& serial) {
    auto it = slots_.find(serial);
    if (it == slots_.end())
        throw UsageError("no token " + serial);
    return *it->second;
}

void Simulator::plug(const std::string& text) {
    const TokenDescription description = parseTokenDescription(text);
    const bool optionsGiven = text.find(',') != std::string::npos;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = slots_.find(description.serial);
    if (it == slots_.end()) {
        auto slot = std::make_unique<Slot>();
        slot->description = description;
        plug_inlock(*slot);
        slots_.emplace(description.serial, std::move(slot));
        return;
    }
    Slot& slot = *it->second;
    if (slot.ownedNode)
        throw UsageError("token " + description.serial + " is already plugged in");
    if (optionsGiven)
        slot.description = description;
    plug_inlock(slot);
}

void Simulator::unplug(const std::string& serial) {
    std::lock_guard<std::mutex> lock(mutex_);
    Slot& slot = find_inlock(serial);
    if (!slot.ownedNode)
        throw UsageError("token " + serial + " is not plugged in");
    unplug_inlock(slot);
}

void Simulator::setStall(const std::string& serial, bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    find_inlock(serial).faults.setStall(on);
}

void Simulator::failNext(const std::string& serial, uint8_t code) {
    std::lock_guard<std::mutex> lock(mutex_);
    Slot& slot = find_inlock(serial);
    if (slot.description.framing != Framing::U2f)
        throw UsageError("token " + serial + " uses report-id framing, which has no ERROR frames");
    slot.faults.failNext(code);
}

void Simulator::garbleNext(const std::string& serial) {
    std::lock_guard<std::mutex> lock(mutex_);
    find_inlock(serial).faults.garbleNext();
}

}  // namespace vexa::sim
