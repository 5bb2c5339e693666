#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvel {

// One request message out, one reply message back. Concrete transports add
// their own framing; callers never see it. Not safe for concurrent use: every
// user serialises its write/read pairs.
class CTransport {
public:
    virtual ~CTransport() = default;

    // Closes first, then connects. Throws IOException when it cannot connect.
    virtual int32_t open() { return 0; }
    virtual bool isOpen() = 0;
    virtual void close() {}
    virtual void setTimeout(uint32_t milliseconds) { (void)milliseconds; }
    virtual uint32_t getTimeout() = 0;
    // Returns the number of reply bytes placed in buffer; 0 on timeout.
    virtual size_t read(uint8_t* buffer, size_t capacity) = 0;
    virtual size_t write(const std::vector<uint8_t>& data) = 0;
    virtual size_t write(const uint8_t* data, size_t length) = 0;
    // "HID", "UNIX" or "TCP".
    virtual const char* getName() = 0;
};

}  // namespace corvel
