#pragma once
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
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
// a handle is dropped once its pty has been closed. Of handles sharing a pty
// the closed ones are those that have not called in since the close (a
// closed descriptor makes no calls); a handle whose close goes unnoticed only
// loses reports, it never holds the token back for longer than the reader
// patience.
//
// A read that finds nothing waiting waits for the handle's next report (a
// blocking hid_read does that). On a pty shared by two handles a read may
// also come because the other handle has reports waiting; such a read waits
// for at most kSharedReadWait of silence from the token and then finds
// nothing (EAGAIN), as a poll that timed out would have.
//
// Handlers run on umockdev's worker thread; deliver() and unplug() may be
// called from any thread. The object must outlive the testbed's worker, so
// the simulator keeps unplugged nodes until it tears the testbed down.
class CHidrawNode {
public:
    // Bytes of one host write (report id 0 stripped) and, when the token
    // completes the write itself, the completion; see TokenDevice::receive.
    using WriteSink = std::function<void(std::vector<uint8_t>, CTokenDevice::Written)>;
    // How long the token waits for a reader with a full queue to make room
    // before that reader counts as stopped.
    static constexpr std::chrono::milliseconds kReaderPatience{1000};
    static constexpr std::chrono::milliseconds kSharedReadWait{1000};

    CHidrawNode(UMockdevTestbed* testbed, unsigned index, const TokenDescription& description,
                bool tokenCompletesWrites,
                WriteSink sink);  // throws std::runtime_error
    ~CHidrawNode();
    CHidrawNode(const CHidrawNode&) = delete;
    CHidrawNode& operator=(const CHidrawNode&) = delete;

    // Queues the report for every open handle; waits while a reader that may
    // still be reading has no room (see ReaderQueues).
    void deliver(const Report& report);
    // Whether the token's firmware is working on a request (a read that only
    // waits out the token's silence must not give up meanwhile).
    void setTokenWorking(bool on);
    // Removes the device; open handles stay connected and fail from now on.
    void unplug();
    const std::string& devnode() const { return m_paths.devnode; }

    // Handlers for umockdev's signals.
    void onConnected(UMockdevIoctlClient* client);
    void onIoctl(UMockdevIoctlClient* client);
    void onRead(UMockdevIoctlClient* client);
    void onWrite(UMockdevIoctlClient* client);

private:
    struct Handle {
        CReaderQueues::Id queue = 0;
        CReadinessPtys::Id pty = 0;
        UMockdevIoctlClient* parkedRead = nullptr;  // a read waiting for a report; holds a reference
        std::optional<std::chrono::steady_clock::time_point> giveUpAt;  // when a parked read finds nothing
        bool aliveSinceClose = false;  // called in since its shared pty last lost a client
    };
    using Handles = std::map<UMockdevIoctlClient*, Handle>;  // each key holds a reference

    void addToTestbed();
    void usePtyDeviceNumber(const std::string& root);
    void attachHandler();
    void answerRead(UMockdevIoctlClient* client, const Report& report);
    void completeWrite(UMockdevIoctlClient* client, long length, bool taken);
    // caller: a client calling in right now (so not closed).
    void forgetClosedHandles_inlock(UMockdevIoctlClient* caller = nullptr);
    void provenAlive_inlock(Handles::iterator it);
    void removeHandle_inlock(Handles::iterator it);
    bool holdForRoom_inlock(std::unique_lock<std::mutex>& lock);
    void answerParkedReads_inlock();
    void updateReadiness_inlock(CReadinessPtys::Id pty);
    void runReadTimer();

    UMockdevTestbed* const m_testbed;
    const unsigned m_index;
    const TokenDescription m_description;
    const bool m_tokenCompletesWrites;
    const WriteSink m_sink;
    const SysfsPaths m_paths;
    const HidrawInfo m_info;
    UMockdevIoctlBase* m_handler = nullptr;

    std::mutex m_mutex;  // guards everything below
    std::condition_variable m_roomInQueue;
    std::condition_variable m_readTimerWake;
    bool m_present = true;
    bool m_stopping = false;
    bool m_holding = false;       // deliver() holds a report back
    bool m_tokenWorking = false;  // the firmware works on a request
    std::optional<CReadinessPtys> m_ptys;
    CReaderQueues m_queues{kReaderPatience};
    Handles m_handles;
    std::map<CReadinessPtys::Id, int> m_unresolvedCloses;  // closes on shared ptys not yet matched to a handle
    std::thread m_readTimer;                               // gives up parked reads at their giveUpAt
};

}  // namespace vexa::sim
