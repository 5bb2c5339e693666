#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// In-process stand-in for the hidapi functions the HID transport calls,
// scripted per test: the devices hid_enumerate lists, the input reports
// hid_read_timeout returns, and the results of hid_write.
namespace fakehid {

using Bytes = std::vector<uint8_t>;

struct Device {
    std::string path = "/dev/hidraw0";
    uint16_t vendorId = 0x0483;
    uint16_t productId = 0xA2AC;
    std::optional<std::wstring> serial = L"0123456789AB";
    std::optional<std::wstring> manufacturer = L"corvelWorks";
    std::optional<std::wstring> product = L"Vexa";
    uint16_t releaseNumber = 0x0100;
    uint16_t usagePage = 0xFF00;
    bool hasPath = true;
};

// One hid_read_timeout result: the bytes delivered, or a bare result (0 for
// a timeout, -1 for an error) when bytes is empty.
struct Input {
    Bytes bytes;
    int result = 0;
    // Still on its way: a read that does not wait (time-out 0) misses it.
    bool pending = false;
};

struct State {
    std::vector<Device> devices;
    bool initFails = false;
    bool openFails = false;
    // The device has gone: it is not listed, cannot be opened, and every
    // read and write on a handle of it fails.
    bool unplugged = false;
    // Handles numbered up to this (from 1, in order of opening) fail every
    // read and write: their device went away and is back under a new handle.
    int failingHandles = 0;
    std::optional<std::wstring> errorText;  // what hid_error returns; null when unset

    std::deque<Input> inputs;      // consumed by hid_read_timeout; empty means timeout
    std::deque<int> writeResults;  // results of the next hid_write calls; default: full length
    // Called with every buffer hid_write accepts (e.g. to answer INIT).
    std::function<void(const Bytes&)> onWrite;

    // Observations.
    std::vector<Bytes> written;
    std::vector<int> readTimeouts;
    std::vector<std::string> openedPaths;
    std::vector<std::pair<uint16_t, uint16_t>> enumeratedIds;
    int openHandles = 0;
    int handlesOpened = 0;  // handles are numbered by it
    int closes = 0;
    int liveEnumerations = 0;
};

// Reset before each test.
State& state();
void reset();

void queueInput(Bytes bytes);
void queueResult(int result);
// Bytes that only a read with a time-out gets.
void queuePending(Bytes bytes);

}  // namespace fakehid
