#include "CHIDTransport.h"

#include <hidapi.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <stdexcept>

#include "Exception.h"
#include "HIDDiscovery.h"

namespace corvel {

CHIDTransport::CHIDTransport() = default;

CHIDTransport::~CHIDTransport() { close(); }

void CHIDTransport::open()
{
    close();
    // A device opened afresh is in step: whatever its old handle was owed is
    // never delivered to the new one.
    m_outOfStep = false;
    m_lateReply = LateReply{};
    const hid::Enumeration list(hid_enumerate(m_vendorId, m_productId));
    if (!list) {
        throw IOException(TransportFailure::Unreachable, "Device not detected");
    }
    const hid::DeviceFilter filter{m_vendorId, m_productId, m_usagePage, m_product, m_serialNumber};
    const hid_device_info* chosen = hid::chooseDevice(list.get(), filter);
    if (chosen == nullptr || chosen->path == nullptr) {
        throw IOException(TransportFailure::Unreachable, "Device not detected");
    }
    if (chosen->product_string != nullptr) {
        m_product = hid::requireMultibyte(chosen->product_string);
    }
    if (logTarget != nullptr) {
        logTarget->logFormat(kLogDebug, "Opening device %s", chosen->path);
    }
    m_device = hid_open_path(chosen->path);
    if (m_device == nullptr) {
        throw IOException(TransportFailure::Unreachable, "Unable to connect to device");
    }
    ++m_generation;
    setUpChannel();
}

bool CHIDTransport::isOpen() { return m_device != nullptr; }

void CHIDTransport::close()
{
    if (m_device != nullptr) {
        hid_close(m_device);
        m_device = nullptr;
    }
}

void CHIDTransport::setTimeout(uint32_t milliseconds) { m_timeout = milliseconds; }

uint32_t CHIDTransport::getTimeout() { return m_timeout; }

const char* CHIDTransport::getName() { return "HID"; }

std::string CHIDTransport::getProduct() { return m_product; }

size_t CHIDTransport::write(const std::vector<uint8_t>& data) { return write(data.data(), data.size()); }

size_t CHIDTransport::write(const uint8_t* data, size_t length)
{
    if (data == nullptr && length != 0) {
        throw std::invalid_argument("Null data buffer");
    }
    if (m_device == nullptr) {
        throw IOException(TransportFailure::Closed, "Null handle");
    }
    if (m_outOfStep) {
        resynchronise();
    } else if (!usesU2F()) {
        // hidraw gives every open handle a copy of every input report: what
        // waits here now are replies to other programs' requests, which
        // report-id framing cannot tell from ours.
        discardQueuedReports();
    }
    return usesU2F() ? writeU2F(data, length) : writeReports(data, length);
}

size_t CHIDTransport::read(uint8_t* buffer, size_t capacity)
{
    if (buffer == nullptr && capacity != 0) {
        throw std::invalid_argument("Null read buffer");
    }
    if (capacity == 0) {
        return 0;
    }
    if (m_device == nullptr) {
        throw IOException(TransportFailure::Closed, "Null handle");
    }
    ReplySink reply{buffer, capacity};
    if (usesU2F()) {
        receiveU2F(reply);
    } else {
        receiveReports(reply);
    }
    if (reply.length > capacity) {
        throw IOException(TransportFailure::TooLong, "HID reply longer than the read buffer");
    }
    return reply.length;
}

void CHIDTransport::ReplySink::put(const uint8_t* data, size_t count)
{
    if (length < capacity) {
        std::memcpy(buffer + length, data, std::min(count, capacity - length));
    }
    length += count;
}

void CHIDTransport::failDevice(const char* fallback)
{
    const wchar_t* text = hid_error(m_device);
    IOException failure =
        text != nullptr ? IOException(TransportFailure::Closed, text) : IOException(TransportFailure::Closed, fallback);
    close();
    throw failure;
}

int CHIDTransport::hidTimeout(uint32_t milliseconds)
{
    // hidapi reads a negative time-out as "wait for ever".
    return static_cast<int>(std::min<uint32_t>(milliseconds, INT_MAX));
}

void CHIDTransport::setVendorProductId(uint16_t vendorId, uint16_t productId)
{
    m_vendorId = vendorId;
    m_productId = productId;
}

void CHIDTransport::setProduct(const char* product) { m_product = product != nullptr ? product : ""; }

void CHIDTransport::setSerialNumber(const char* serialNumber)
{
    m_serialNumber = serialNumber != nullptr ? serialNumber : "";
}

void CHIDTransport::setUsagePage(uint16_t usagePage) { m_usagePage = usagePage; }

}  // namespace corvel
