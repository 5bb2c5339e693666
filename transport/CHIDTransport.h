#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "CTransport.h"
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

    int32_t open() override;
    bool isOpen() override;
    void close() override;
    void setTimeout(uint32_t milliseconds) override;
    uint32_t getTimeout() override;
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
    // Completed by the HID implementation.
};

}  // namespace corvel
