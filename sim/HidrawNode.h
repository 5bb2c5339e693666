#pragma once
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "DeviceFraming.h"
#include "HidrawIoctl.h"
#include "SysfsRecord.h"
#include "TokenDescription.h"
#include "TokenDevice.h"

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;

namespace vexa::sim {

// One token's hidraw device on a umockdev testbed, behaving as the kernel's
// hidraw does towards its clients: a leading report id 0 is stripped from
// writes, at most 63 input reports wait to be read and newer ones are
// dropped, a short read truncates a report, and after unplug writes fail with
// ENODEV and reads with EIO.
//
// umockdev tells when a handle is opened but not when it is closed, so the
// queue cannot be kept per handle: there is one, emptied whenever a handle is
// opened (a new hidraw handle never sees older reports). Two handles reading
// at the same time share it; each report goes to one of them.
//
// The preload forwards read/write/ioctl but not poll, so the pty that the
// client really opened signals readiness: it holds one byte per queued report.
//
// A real endpoint carries one report per millisecond, so a reader that keeps
// reading never falls 63 reports behind; without USB timing the token is far
// faster. deliver() therefore waits for room while the reader keeps reading,
// and drops reports only once it has stopped reading.
//
// Handlers run on umockdev's worker thread; deliver() and unplug() may be
// called from any thread. The object must outlive the testbed's worker, so
// the simulator keeps unplugged nodes until it tears the testbed down.
class HidrawNode {
public:
    // Bytes of one host write (report id 0 stripped) and, when the token
    // completes the write itself, the completion; see TokenDevice::receive.
    using WriteSink = std::function<void(std::vector<uint8_t>, TokenDevice::Written)>;

    HidrawNode(UMockdevTestbed* testbed, unsigned index, const TokenDescription& description, bool tokenCompletesWrites,
               WriteSink sink);  // throws std::runtime_error
    ~HidrawNode();
    HidrawNode(const HidrawNode&) = delete;
    HidrawNode& operator=(const HidrawNode&) = delete;

    void deliver(const Report& report);
    // Removes the device; open handles stay connected and fail from now on.
    void unplug();
    const std::string& devnode() const { return m_paths.devnode; }

    // Handlers for umockdev's signals.
    void onConnected(UMockdevIoctlClient* client);
    void onIoctl(UMockdevIoctlClient* client);
    void onRead(UMockdevIoctlClient* client);
    void onWrite(UMockdevIoctlClient* client);

private:
    void addToTestbed();
    void usePtyDeviceNumber(const std::string& root);
    void attachHandler();
    void answerRead_inlock(UMockdevIoctlClient* client, const Report& report);
    void completeWrite(UMockdevIoctlClient* client, long length, bool taken);
    void dropParkedRead_inlock(int error);
    bool parkedReaderAlive_inlock();
    void signalReports_inlock(size_t count);
    void drainReports_inlock(size_t count);

    UMockdevTestbed* const m_testbed;
    const unsigned m_index;
    const TokenDescription m_description;
    const bool m_tokenCompletesWrites;
    const WriteSink m_sink;
    const SysfsPaths m_paths;
    const HidrawInfo m_info;
    UMockdevIoctlBase* m_handler = nullptr;
    int m_signalFd = -1;  // pty master: one byte per queued report
    int m_drainFd = -1;   // our own pty slave, to take bytes back
    std::string m_devnumLink;

    std::mutex m_mutex;  // guards m_present, m_queue, m_parkedRead, m_lastRead and the pty byte count
    std::condition_variable m_roomInQueue;
    std::chrono::steady_clock::time_point m_lastRead;
    bool m_present = true;
    std::deque<Report> m_queue;
    UMockdevIoctlClient* m_parkedRead = nullptr;  // a read waiting for a report; holds a reference
};

}  // namespace vexa::sim
