#include "FakeHidApi.h"

#include <hidapi.h>

#include <algorithm>
#include <cstring>
#include <cwchar>

#include "AllocationCounter.h"

struct hid_device_ {
    int id;
};

namespace fakehid {
namespace {

State g_state;

wchar_t* copyWide(const std::optional<std::wstring>& text)
{
    if (!text.has_value()) {
        return nullptr;
    }
    wchar_t* copy = new wchar_t[text->size() + 1];
    std::wmemcpy(copy, text->c_str(), text->size() + 1);
    return copy;
}

hid_device_info* makeInfo(const Device& device)
{
    auto* info = new hid_device_info{};
    if (device.hasPath) {
        info->path = new char[device.path.size() + 1];
        std::memcpy(info->path, device.path.c_str(), device.path.size() + 1);
    }
    info->vendor_id = device.vendorId;
    info->product_id = device.productId;
    info->serial_number = copyWide(device.serial);
    info->release_number = device.releaseNumber;
    info->manufacturer_string = copyWide(device.manufacturer);
    info->product_string = copyWide(device.product);
    info->usage_page = device.usagePage;
    return info;
}

}  // namespace

State& state() { return g_state; }

void reset()
{
    allocation::Pause pause;
    g_state = State{};
}

void queueInput(Bytes bytes)
{
    allocation::Pause pause;
    g_state.inputs.push_back(Input{std::move(bytes), 0});
}

void queueResult(int result)
{
    allocation::Pause pause;
    g_state.inputs.push_back(Input{{}, result});
}

void queuePending(Bytes bytes)
{
    allocation::Pause pause;
    g_state.inputs.push_back(Input{std::move(bytes), 0, true});
}

}  // namespace fakehid

using fakehid::g_state;

extern "C" {

int hid_init(void) { return g_state.initFails ? -1 : 0; }

hid_device_info* hid_enumerate(unsigned short vendor_id, unsigned short product_id)
{
    allocation::Pause pause;
    g_state.enumeratedIds.emplace_back(vendor_id, product_id);
    if (g_state.unplugged) {
        return nullptr;
    }
    hid_device_info* head = nullptr;
    hid_device_info** tail = &head;
    for (const fakehid::Device& device : g_state.devices) {
        if ((vendor_id != 0 && device.vendorId != vendor_id) || (product_id != 0 && device.productId != product_id)) {
            continue;
        }
        *tail = fakehid::makeInfo(device);
        tail = &(*tail)->next;
    }
    if (head != nullptr) {
        ++g_state.liveEnumerations;
    }
    return head;
}

void hid_free_enumeration(hid_device_info* devs)
{
    allocation::Pause pause;
    if (devs != nullptr) {
        --g_state.liveEnumerations;
    }
    while (devs != nullptr) {
        hid_device_info* next = devs->next;
        delete[] devs->path;
        delete[] devs->serial_number;
        delete[] devs->manufacturer_string;
        delete[] devs->product_string;
        delete devs;
        devs = next;
    }
}

hid_device* hid_open_path(const char* path)
{
    allocation::Pause pause;
    g_state.openedPaths.emplace_back(path);
    if (g_state.openFails || g_state.unplugged) {
        return nullptr;
    }
    ++g_state.openHandles;
    return new hid_device{++g_state.handlesOpened};
}

void hid_close(hid_device* dev)
{
    allocation::Pause pause;
    --g_state.openHandles;
    ++g_state.closes;
    delete dev;
}

int hid_write(hid_device* dev, const unsigned char* data, size_t length)
{
    allocation::Pause pause;
    if (dev == nullptr || g_state.unplugged || dev->id <= g_state.failingHandles) {
        return -1;
    }
    int result = static_cast<int>(length);
    if (!g_state.writeResults.empty()) {
        result = g_state.writeResults.front();
        g_state.writeResults.pop_front();
    }
    if (result == static_cast<int>(length)) {
        g_state.written.emplace_back(data, data + length);
        // A copy, so the hook may replace itself.
        const auto hook = g_state.onWrite;
        if (hook) {
            hook(g_state.written.back());
        }
    }
    return result;
}

int hid_read_timeout(hid_device* dev, unsigned char* data, size_t length, int milliseconds)
{
    allocation::Pause pause;
    g_state.readTimeouts.push_back(milliseconds);
    if (dev == nullptr || g_state.unplugged || dev->id <= g_state.failingHandles) {
        return -1;
    }
    if (g_state.inputs.empty() || (g_state.inputs.front().pending && milliseconds == 0)) {
        return 0;
    }
    const fakehid::Input input = std::move(g_state.inputs.front());
    g_state.inputs.pop_front();
    if (input.bytes.empty()) {
        return input.result;
    }
    const size_t count = std::min(length, input.bytes.size());
    std::memcpy(data, input.bytes.data(), count);
    return static_cast<int>(count);
}

const wchar_t* hid_error(hid_device*) { return g_state.errorText.has_value() ? g_state.errorText->c_str() : nullptr; }

}  // extern "C"
