#pragma once
#include <chrono>
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
//
// A read that gives up on a reply (time-out, broken continuation) leaves the
// device open, but the token may still send the rest of that reply. So the
// next write first puts the transport back in step with the token: in
// U2FHID framing it takes a fresh channel, on which the late reply can never
// arrive; in report-id framing, which cannot tell one reply from another, it
// waits (one time-out at most) for the rest of the late reply and throws it
// away. A write whose resynchronisation gets no answer sends nothing and
// throws TimedOut; the next write tries again. In report-id framing every
// write also drops the input reports already queued: hidraw hands every open
// handle a copy of each report, so those are replies to other programs
// sharing the token (through a lock file).
class CHIDTransport : public CTransport {
public:
    CHIDTransport();
    ~CHIDTransport() override;
    // Owns the device handle.
    CHIDTransport(const CHIDTransport&) = delete;
    CHIDTransport& operator=(const CHIDTransport&) = delete;

    void open() override;
    bool isOpen() override;
    void close() override;
    void setTimeout(uint32_t milliseconds) override;
    uint32_t getTimeout() override;
    // Waits up to the time-out for each report of the reply.
    size_t read(uint8_t* buffer, size_t capacity) override;
    size_t write(const std::vector<uint8_t>& data) override;
    size_t write(const uint8_t* data, size_t length) override;
    const char* getName() override;
    // Once open: true in U2FHID framing, false in report-id framing.
    bool usesU2F() const { return m_channelId != hid::kBroadcastChannel; }
    // Before open: the product-name filter; after open: the opened device's.
    std::string getProduct() override;
    // Counts the devices opened: every open that reaches a device has it
    // afresh, and the token behind it may not be the one reached before.
    uint64_t deviceGeneration() override { return m_generation; }

    void setVendorProductId(uint16_t vendorId, uint16_t productId);
    void setProduct(const char* product);
    void setSerialNumber(const char* serialNumber);
    void setUsagePage(uint16_t usagePage);

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

    // What arrived of a reply that read() gave up on in report-id framing.
    struct LateReply {
        bool awaited = false;  // the token may still send (the rest of) it
        bool firstSeen = false;
        size_t total = 0;
        size_t received = 0;
        void take(const hid::Report& report);
        bool complete() const { return firstSeen && received >= total; }
    };

    // Takes a U2FHID channel, or stays with report ids when the device does
    // not answer the probe.
    void setUpChannel();
    // Sends INIT with a fresh nonce on the broadcast channel and waits for its
    // reply: each frame up to frameWait, all of them until deadline (if set).
    // 0 with the granted channel, or a frame receiver's result.
    int requestChannel(uint32_t frameWait, std::optional<std::chrono::steady_clock::time_point> deadline,
                       uint32_t& channel);

    // Before a write: brings an out-of-step transport back in step.
    void resynchronise();
    void renewChannel();
    void discardLateReply();
    void discardQueuedReports();
    // Notes that a read gave up on the reply it was taking; late says what of
    // it a report-id read had already seen.
    void abandonReply(const LateReply& late);

    size_t writeReports(const uint8_t* data, size_t length);
    size_t writeU2F(const uint8_t* data, size_t length);
    bool sendFrame(const hid::Frame& frame);
    // The device failed under us: it has gone, so the transport closes and
    // reports Closed with the HID layer's error text, or fallback.
    [[noreturn]] void failDevice(const char* fallback);

    void receiveReports(ReplySink& reply);
    void receiveU2F(ReplySink& reply);
    // After the token answered ERR_CHANNEL_BUSY (it did nothing with the
    // request): waits a little longer each time and sends the request again,
    // unless that would pass deadline; false then.
    bool sendAgainWhenBusy(std::chrono::steady_clock::time_point deadline, unsigned attempt);
    int receiveFrame(hid::Frame& frame, uint32_t timeout);
    int receiveMessage(ReplySink& reply, uint8_t& errorCode);
    int receiveContinuations(hid::Frame& frame, size_t length, ReplySink& reply);
    static int hidTimeout(uint32_t milliseconds);

    hid_device_* m_device = nullptr;  // owned; null while closed
    uint64_t m_generation = 0;
    uint16_t m_vendorId = 0;
    uint16_t m_productId = 0;
    uint16_t m_usagePage = 0;
    std::string m_product;  // filter before open, the opened device's name after
    std::string m_serialNumber;
    // U2FHID channel; the broadcast channel means report-id framing.
    uint32_t m_channelId = hid::kBroadcastChannel;
    uint32_t m_timeout = 4000;
    // A read gave up on a reply that may still come; set until the next
    // write has resynchronised or the device is opened again.
    bool m_outOfStep = false;
    LateReply m_lateReply;  // report-id framing only
    // The last request sent in U2FHID framing, for sending again when the
    // token was busy.
    std::vector<uint8_t> m_lastRequest;
};

}  // namespace corvel
