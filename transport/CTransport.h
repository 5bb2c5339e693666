#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Exception.h"

namespace corvel {

// One request message out, one reply message back. Concrete transports add
// their own framing; callers never see it. Not safe for concurrent use: every
// user serialises its write/read pairs.
//
// Every call either succeeds or throws an IOException whose kind says what
// failed (a caller's mistake, such as a null buffer with a length, throws
// std::invalid_argument instead):
//
//   open   Unreachable: the token or the daemon cannot be reached; the
//          transport stays closed. Calling open on an open transport closes
//          and reconnects.
//   write  sends the whole request and returns its length. TooLong: the
//          framing cannot carry it (nothing is sent, the transport stays
//          open). Closed: not open, or the device or connection went away
//          (the transport is then closed).
//   read   returns exactly one whole reply: its length, never more than the
//          capacity (a capacity of 0 reads nothing and returns 0). TimedOut:
//          no whole reply within the time-out. BrokenFraming: what arrived
//          is not a message, or the token reported a framing error. TooLong:
//          the reply does not fit the buffer; none of it is handed out, now
//          or to a later read. Closed: as for write.
//
// A reply arriving late never passes for the reply of a later request: a
// stream transport (the daemon's socket, TLS) closes itself on every read
// failure; a device transport (HID) closes itself when the device goes away
// and otherwise stays open, getting back in step with the token before its
// next write (which, where that asks the token for an answer and none comes,
// sends nothing and throws TimedOut). A closed transport is opened again by
// the next open.
class CTransport {
public:
    virtual ~CTransport() = default;

    virtual void open() {}
    virtual bool isOpen() = 0;
    virtual void close() {}
    virtual void setTimeout(uint32_t milliseconds) { (void)milliseconds; }
    virtual uint32_t getTimeout() = 0;
    virtual size_t read(uint8_t* buffer, size_t capacity) = 0;
    virtual size_t write(const std::vector<uint8_t>& data) = 0;
    virtual size_t write(const uint8_t* data, size_t length) = 0;
    // "HID", "UNIX" or "TCP".
    virtual const char* getName() = 0;
    // The product name of the token, as far as the transport knows it: the
    // USB product string of a HID device once opened; "" through the daemon.
    virtual std::string getProduct() { return ""; }
    // Changes each time open reaches a device afresh: the token may have been
    // unplugged and plugged in again, and then holds nothing of what it held
    // (its sessions). Constant for transports to the daemon, which keeps its
    // token whatever happens to one connection.
    virtual uint64_t deviceGeneration() { return 0; }
    // Lets go of the connection or device without a word to the other end:
    // for a child process that inherited it and must leave it to its parent.
    virtual void abandon() { close(); }
};

}  // namespace corvel
