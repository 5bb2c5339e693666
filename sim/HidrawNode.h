#pragma once
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "DeviceFraming.h"
#include "HidrawIoctl.h"
#include "ReaderQueues.h"
#include "ReadinessPtys.h"
#include "SysfsRecord.h"
#include "TokenDescription.h"
#include "TokenDevice.h"

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;

namespace vexa::sim {

// One token's hidraw device on a umockdev testbed, behaving as the kernel's
// hidraw does towards its clients: a leading report id 0 is stripped from
// writes, every open handle receives its own copy of every input report sent
// while it is open (at most 63 wait per handle, see ReaderQueues), a short
// read truncates a report, and after unplug writes fail with ENODEV and reads
// with EIO. Output reports of all handles go to the one token, which cannot
// tell them apart, as on USB.
//
// Each handle is the umockdev client of one open(); its readiness for poll()
// is a pty of its own (ReadinessPtys). umockdev reports opens but not closes:
// a handle is dropped when its pty is closed or its umockdev connection ends,
// and a handle whose close goes unnoticed only loses reports, it never holds
// the token back for longer than the reader patience.
//
// Handlers run on umockdev's worker thread; deliver() and unplug() may be
// called from any thread. The object must outlive the testbed's worker, so
// the simulator keeps unplugged nodes until it tears the testbed down.
class HidrawNode {
public:
    // Bytes of one host write (report id 0 stripped) and, when the token
    // completes the write itself, the completion; see TokenDevice::receive.
    using WriteSink = std::function<void(std::vector<uint8_t>, TokenDevice::Written)>;
    // How long the token waits for a reader with a full queue to make room
    // before that reader counts as stopped.
    static constexpr std::chrono::milliseconds kReaderPatience{1000};

    HidrawNode(UMockdevTestbed* testbed, unsigned index, const TokenDescription& description, bool tokenCompletesWrites,
               WriteSink sink);  // throws std::runtime_error
    ~HidrawNode();
    HidrawNode(const HidrawNode&) = delete;
    HidrawNode& operator=(const HidrawNode&) = delete;

    // Queues the report for every open handle; waits while a reader that may
    // still be reading has no room (see ReaderQueues).
    void deliver(const Report& report);
    // Removes the device; open handles stay connected and fail from now on.
    void unplug();
    const std::string& devnode() const { return m_paths.devnode; }

    // Handlers for umockdev's signals.
    void onConnected(UMockdevIoctlClient* client);
    void onDisconnected(UMockdevIoctlClient* client);
    void onIoctl(UMockdevIoctlClient* client);
    void onRead(UMockdevIoctlClient* client);
    void onWrite(UMockdevIoctlClient* client);

private:
    struct Handle {
        ReaderQueues::Id queue = 0;
        ReadinessPtys::Id pty = 0;
        UMockdevIoctlClient* parkedRead = nullptr;  // a read waiting for a report; holds a reference
    };
    using Handles = std::map<UMockdevIoctlClient*, Handle>;  // each key holds a reference

    void addToTestbed();
    void usePtyDeviceNumber(const std::string& root);
    void attachHandler();
    void answerRead(UMockdevIoctlClient* client, const Report& report);
    void completeWrite(UMockdevIoctlClient* client, long length, bool taken);
    void forgetGoneHandles_inlock();
    void removeHandle_inlock(Handles::iterator it);
    void answerParkedReads_inlock();
    void updateReadiness_inlock(ReadinessPtys::Id pty);

    UMockdevTestbed* const m_testbed;
    const unsigned m_index;
    const TokenDescription m_description;
    const bool m_tokenCompletesWrites;
    const WriteSink m_sink;
    const SysfsPaths m_paths;
    const HidrawInfo m_info;
    UMockdevIoctlBase* m_handler = nullptr;

    // Clients whose umockdev connection has ended, noted without m_mutex
    // (umockdev may report it from inside a call we make under m_mutex) and
    // dropped under it.
    std::mutex m_goneMutex;
    std::vector<UMockdevIoctlClient*> m_gone;  // each holds a reference

    std::mutex m_mutex;  // guards everything below
    std::condition_variable m_roomInQueue;
    bool m_present = true;
    std::optional<ReadinessPtys> m_ptys;
    ReaderQueues m_queues{kReaderPatience};
    Handles m_handles;
};

}  // namespace vexa::sim
