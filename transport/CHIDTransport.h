#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "ByteQueue.h"
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
    // Waits up to the time-out for each report of the reply. The rest of a
    // reply longer than capacity is kept for the next read in report-id
    // framing (which then hands out only that) and dropped in U2FHID framing.
    size_t read(uint8_t* buffer, size_t capacity) override;
    size_t write(const std::vector<uint8_t>& data) override;
    size_t write(const uint8_t* data, size_t length) override;
    const char* getName() override;

    virtual void setVendorProductId(uint16_t vendorId, uint16_t productId);
    virtual void setProduct(const char* product);
    virtual const std::string& getProduct();
    virtual void setSerialNumber(const char* serialNumber);
    virtual const std::string& getSerialNumber();
    virtual uint16_t getReleaseNumber();
    virtual void setUsagePage(uint16_t usagePage);
    virtual uint16_t getProductId();
    virtual uint16_t getVendorId();

    // Sorted, unique, null-terminated list of the serial numbers of attached
    // devices (C allocator); null on failure. vendorId 0 means any vendor with
    // the manufacturer "corvelWorks".
    static char** listSerialNumbers(uint16_t vendorId, uint16_t productId);
    static void freeSerialNumberList(char** list);

    // Receives diagnostic lines; not owned, may be null.
    ILogTarget* logTarget = nullptr;

private:
    int32_t setUpChannel();
    bool usesU2F() const { return m_channelId != hid::kBroadcastChannel; }

    size_t writeReports(const uint8_t* data, size_t length);
    size_t writeU2F(const uint8_t* data, size_t length);
    void sendFrame(const hid::Frame& frame);
    [[noreturn]] void throwDeviceError(const char* fallback);

    void receiveReports();
    void receiveU2F(size_t capacity);
    int receiveFrame(hid::Frame& frame, uint32_t timeout);
    int receiveMessage(size_t capacity);
    int receiveContinuations(hid::Frame& frame, size_t length, size_t received);
    static int hidTimeout(uint32_t milliseconds);

    hid_device_* m_device = nullptr;  // owned; null while closed
    uint16_t m_vendorId = 0;
    uint16_t m_productId = 0;
    uint16_t m_usagePage = 0;
    uint16_t m_releaseNumber = 0;
    std::string m_product;  // filter before open, the opened device's name after
    std::string m_serialNumber;
    // U2FHID channel; the broadcast channel means report-id framing.
    uint32_t m_channelId = hid::kBroadcastChannel;
    uint32_t m_timeout = 4000;
    // Reply bytes not yet handed out; survives close() so a reconnect hands
    // out leftovers first.
    ByteQueue m_queue;
};

}  // namespace corvel
