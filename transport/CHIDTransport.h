#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "CTransport.h"
#include "HIDFraming.h"
#include "ILogTarget.h"

struct hid_device_;

namespace corvel {

// A token reached over USB HID (hidapi, hidraw back end). open() selects one
// device by vendor/product id, usage page, product name and serial number,
// then probes for U2FHID framing and falls back to report-id framing.
class CHIDTransport : public CTransport {
public:
    CHIDTransport();
    ~CHIDTransport() override;
    // Owns the device handle.
    CHIDTransport(const CHIDTransport&) = delete;
    CHIDTransport& operator=(const CHIDTransport&) = delete;

    int32_t open() override;
    bool isOpen() override;
    void close() override;
    void setTimeout(uint32_t milliseconds) override;
    uint32_t getTimeout() override;
    // Waits up to the time-out for each report of the reply.
    size_t read(uint8_t* buffer, size_t capacity) override;
    size_t write(const std::vector<uint8_t>& data) override;
    size_t write(const uint8_t* data, size_t length) override;
    const char* getName() override;
    // Before open: the product-name filter; after open: the opened device's.
    std::string getProduct() override;

    virtual void setVendorProductId(uint16_t vendorId, uint16_t productId);
    virtual void setProduct(const char* product);
    virtual void setSerialNumber(const char* serialNumber);
    virtual void setUsagePage(uint16_t usagePage);

    // The sorted serial numbers of the attached devices, each once; nothing
    // (and a line on standard error) when the HID layer cannot list them.
    // vendorId 0 means any vendor with the manufacturer "corvelWorks".
    static std::optional<std::vector<std::string>> listSerialNumbers(uint16_t vendorId, uint16_t productId);

    // Receives diagnostic lines; not owned, may be null.
    ILogTarget* logTarget = nullptr;

private:
    // Where read() assembles a reply: the caller's buffer. Bytes beyond its
    // capacity are counted, not kept, so a reply too long is still taken
    // from the device as a whole.
    struct ReplySink {
        uint8_t* buffer;
        size_t capacity;
        size_t length = 0;
        void put(const uint8_t* data, size_t count);
    };

    int32_t setUpChannel();
    bool usesU2F() const { return m_channelId != hid::kBroadcastChannel; }

    size_t writeReports(const uint8_t* data, size_t length);
    size_t writeU2F(const uint8_t* data, size_t length);
    bool sendFrame(const hid::Frame& frame);
    // The device failed under us: it has gone, so the transport closes and
    // reports Closed with the HID layer's error text, or fallback.
    [[noreturn]] void failDevice(const char* fallback);

    void receiveReports(ReplySink& reply);
    void receiveU2F(ReplySink& reply);
    int receiveFrame(hid::Frame& frame, uint32_t timeout);
    int receiveMessage(ReplySink& reply, uint8_t& errorCode);
    int receiveContinuations(hid::Frame& frame, size_t length, ReplySink& reply);
    static int hidTimeout(uint32_t milliseconds);

    hid_device_* m_device = nullptr;  // owned; null while closed
    uint16_t m_vendorId = 0;
    uint16_t m_productId = 0;
    uint16_t m_usagePage = 0;
    std::string m_product;  // filter before open, the opened device's name after
    std::string m_serialNumber;
    // U2FHID channel; the broadcast channel means report-id framing.
    uint32_t m_channelId = hid::kBroadcastChannel;
    uint32_t m_timeout = 4000;
};

}  // namespace corvel
