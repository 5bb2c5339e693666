#include "HidrawNode.h"

#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <stdexcept>

#include "ReportDescriptor.h"
#include "SimLog.h"

namespace vexa::sim {
namespace {

// What the kernel's hidraw accepts in one write (HID_MAX_BUFFER_SIZE).
constexpr size_t kMaxWrite = 16384;

std::string rootDir(UMockdevTestbed* testbed)
{
    gchar* root = umockdev_testbed_get_root_dir(testbed);
    std::string text = root;
    g_free(root);
    return text;
}

CHidrawNode* self(gpointer user) { return static_cast<CHidrawNode*>(user); }

gboolean handleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user)
{
    self(user)->onIoctl(client);
    return TRUE;
}

gboolean handleRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user)
{
    self(user)->onRead(client);
    return TRUE;
}

gboolean handleWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user)
{
    self(user)->onWrite(client);
    return TRUE;
}

void clientConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user)
{
    self(user)->onConnected(client);
}

UMockdevIoctlClient* ref(UMockdevIoctlClient* client)
{
    return static_cast<UMockdevIoctlClient*>(g_object_ref(client));
}

void failAndRelease(UMockdevIoctlClient*& read, int error)
{
    if (read) {
        umockdev_ioctl_client_complete(read, -1, error);
        g_object_unref(read);
        read = nullptr;
    }
}

}  // namespace

CHidrawNode::CHidrawNode(UMockdevTestbed* testbed, unsigned index, const TokenDescription& description,
                         bool tokenCompletesWrites, WriteSink sink)
    : m_testbed(testbed),
      m_index(index),
      m_description(description),
      m_tokenCompletesWrites(tokenCompletesWrites),
      m_sink(std::move(sink)),
      m_paths(sysfsPaths(index)),
      m_info{reportDescriptor(description.framing), hidName(description), hidPhys(index), description.serial}
{
    addToTestbed();
    attachHandler();
    m_readTimer = std::thread([this] { runReadTimer(); });
}

CHidrawNode::~CHidrawNode()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_readTimerWake.notify_all();
    if (m_readTimer.joinable()) {
        m_readTimer.join();
    }
    unplug();
    if (m_handler) {
        g_signal_handlers_disconnect_by_data(m_handler, this);
        g_object_unref(m_handler);
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto& [client, handle] : m_handles) {
        failAndRelease(handle.parkedRead, EIO);
        g_object_unref(client);
    }
    m_handles.clear();
}

void CHidrawNode::addToTestbed()
{
    GError* error = nullptr;
    const std::string record = sysfsRecord(m_paths, m_index, m_description, m_info.descriptor);
    if (!umockdev_testbed_add_from_string(m_testbed, record.c_str(), &error)) {
        std::string message = std::string("cannot add token to the testbed: ") + error->message;
        g_error_free(error);
        throw std::runtime_error(message);
    }
    usePtyDeviceNumber(rootDir(m_testbed));
}

// hidapi's string getters on an open handle fstat() the descriptor, which the
// preload does not fake, and look the device up by that number; so the hidraw
// device takes the real number of the first pty behind <root>/dev/hidrawN
// (every later pty gets a /sys/dev/char link of its own).
void CHidrawNode::usePtyDeviceNumber(const std::string& root)
{
    m_ptys.emplace(root, m_paths.devnode, m_paths.hidraw);
    m_ptys->adopt(umockdev_testbed_get_dev_fd(m_testbed, m_paths.devnode.c_str()));
    const std::string& number = m_ptys->firstDeviceNumber();
    const size_t colon = number.find(':');
    ::unlink((root + "/sys/dev/char/243:" + std::to_string(m_index)).c_str());
    umockdev_testbed_set_attribute(m_testbed, m_paths.hidraw.c_str(), "dev", number.c_str());
    umockdev_testbed_set_property_int(m_testbed, m_paths.hidraw.c_str(), "MAJOR", std::stoi(number.substr(0, colon)));
    umockdev_testbed_set_property_int(m_testbed, m_paths.hidraw.c_str(), "MINOR", std::stoi(number.substr(colon + 1)));
    // What the preload's stat() reports for the node.
    const std::string nodeNumber = root + "/dev/.node/" + m_paths.devnode.substr(5);
    ::unlink(nodeNumber.c_str());
    if (::symlink(number.c_str(), nodeNumber.c_str()) < 0) {
        throw std::runtime_error("cannot link device number of " + m_paths.devnode + ": " + std::strerror(errno));
    }
}

void CHidrawNode::attachHandler()
{
    m_handler = umockdev_ioctl_base_new();
    g_signal_connect(m_handler, "handle-ioctl", G_CALLBACK(handleIoctl), this);
    g_signal_connect(m_handler, "handle-read", G_CALLBACK(handleRead), this);
    g_signal_connect(m_handler, "handle-write", G_CALLBACK(handleWrite), this);
    g_signal_connect(m_handler, "client-connected", G_CALLBACK(clientConnected), this);
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(m_testbed, m_paths.devnode.c_str(), m_handler, &error)) {
        std::string message = std::string("cannot attach to ") + m_paths.devnode + ": " + error->message;
        g_error_free(error);
        throw std::runtime_error(message);
    }
}

void CHidrawNode::unplug()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_present) {
            return;
        }
        m_present = false;
        for (auto& [client, handle] : m_handles) {
            failAndRelease(handle.parkedRead, EIO);
        }
        // Left readable for good, so every poll wakes and the read fails.
        m_ptys->deviceGone();
        m_roomInQueue.notify_all();
    }
    // Children first: removing a parent leaves the class links of its children.
    for (const std::string* path : {&m_paths.hidraw, &m_paths.hid, &m_paths.usbInterface, &m_paths.usbDevice}) {
        umockdev_testbed_remove_device(m_testbed, path->c_str());
    }
    GError* error = nullptr;
    if (!umockdev_testbed_detach_ioctl(m_testbed, m_paths.devnode.c_str(), &error)) {
        logVerbose("%s: detach: %s", m_paths.devnode.c_str(), error->message);
        g_error_free(error);
    }
    logVerbose("%s (%s) unplugged", m_paths.devnode.c_str(), m_description.serial.c_str());
}

void CHidrawNode::onConnected(UMockdevIoctlClient* client)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    forgetClosedHandles_inlock();
    if (!m_present || m_handles.count(client)) {
        return;
    }
    Handle handle;
    handle.queue = m_queues.add();
    handle.pty = m_ptys->claim();
    m_handles.emplace(ref(client), handle);
    logVerbose("%s: handle opened on %s (%zu open)", m_paths.devnode.c_str(), m_ptys->path(handle.pty).c_str(),
               m_handles.size());
}

// A pty that all its clients closed takes its handles along. Of handles that
// shared a pty only some of which closed, those that called in since the
// close are alive; when the others are as many as the closes, they are the
// closed ones. Otherwise the ones that stopped reading are taken for the
// closed ones; until they have stopped, the pty keeps them.
void CHidrawNode::forgetClosedHandles_inlock(UMockdevIoctlClient* caller)
{
    std::map<CReadinessPtys::Id, int> unresolved;
    for (const CReadinessPtys::Closed& closed : m_ptys->closedSinceLastLook()) {
        const auto seen = m_unresolvedCloses.find(closed.pty);
        const bool newClose = seen == m_unresolvedCloses.end() || closed.gone > seen->second;
        std::vector<Handles::iterator> unproven;
        for (auto it = m_handles.begin(); it != m_handles.end(); ++it) {
            if (it->second.pty != closed.pty) {
                continue;
            }
            if (newClose) {
                // Only calls from now on count; a read parked now is one.
                it->second.aliveSinceClose = it->second.parkedRead != nullptr || it->first == caller;
            }
            if (closed.all || !it->second.aliveSinceClose) {
                unproven.push_back(it);
            }
        }
        const bool known = closed.all || unproven.size() == size_t(closed.gone);
        int gone = closed.gone;
        for (Handles::iterator it : unproven) {
            if (gone > 0 && (known || m_queues.stopped(it->second.queue))) {
                removeHandle_inlock(it);
                --gone;
            }
        }
        if (gone > 0) {
            unresolved[closed.pty] = gone;
        }
    }
    m_unresolvedCloses = std::move(unresolved);
}

// The client made a call: its descriptor is open.
void CHidrawNode::provenAlive_inlock(Handles::iterator it)
{
    it->second.aliveSinceClose = true;
    if (!m_unresolvedCloses.empty()) {
        forgetClosedHandles_inlock(it->first);
    }
}

void CHidrawNode::removeHandle_inlock(Handles::iterator it)
{
    UMockdevIoctlClient* client = it->first;
    Handle handle = it->second;
    const std::string ptyPath = m_ptys->path(handle.pty);
    m_handles.erase(it);
    failAndRelease(handle.parkedRead, EIO);
    m_queues.remove(handle.queue);
    g_object_unref(client);
    m_ptys->release(handle.pty);
    updateReadiness_inlock(handle.pty);
    m_roomInQueue.notify_all();
    logVerbose("%s: handle on %s closed (%zu open)", m_paths.devnode.c_str(), ptyPath.c_str(), m_handles.size());
}

void CHidrawNode::onIoctl(UMockdevIoctlClient* client)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_present) {
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return;
        }
    }
    answerHidrawIoctl(client, m_info);
}

void CHidrawNode::onWrite(UMockdevIoctlClient* client)
{
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    const size_t length = arg->data_len;
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_present) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return;
    }
    if (auto it = m_handles.find(client); it != m_handles.end()) {
        provenAlive_inlock(it);
    }
    if (length < 2 || length > kMaxWrite) {
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    lock.unlock();
    // Without report ids the kernel sends the report without its 0 byte; a
    // numbered report goes out with its id.
    const size_t skip = arg->data[0] == 0 ? 1 : 0;
    std::vector<uint8_t> bytes(arg->data + skip, arg->data + length);
    if (!m_tokenCompletesWrites) {
        umockdev_ioctl_client_complete(client, long(length), 0);
        m_sink(std::move(bytes), nullptr);
        return;
    }
    g_object_ref(client);
    m_sink(std::move(bytes), [this, client, length](bool taken) { completeWrite(client, long(length), taken); });
}

void CHidrawNode::completeWrite(UMockdevIoctlClient* client, long length, bool taken)
{
    if (taken) {
        umockdev_ioctl_client_complete(client, length, 0);
    } else {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
    }
    g_object_unref(client);
}

void CHidrawNode::onRead(UMockdevIoctlClient* client)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_handles.find(client);
    if (!m_present || it == m_handles.end()) {
        umockdev_ioctl_client_complete(client, -1, EIO);
        return;
    }
    Handle& handle = it->second;
    const bool ptyReadable = m_ptys->level(handle.pty) > 0;
    provenAlive_inlock(it);
    if (std::optional<Report> report = m_queues.take(handle.queue)) {
        answerRead(client, *report);
        updateReadiness_inlock(handle.pty);
        m_roomInQueue.notify_all();
        return;
    }
    if (ptyReadable && m_ptys->level(handle.pty) == 0) {
        // Woken by the reports of a handle found closed just now: nothing
        // waits for this one, as its poll would have said.
        umockdev_ioctl_client_complete(client, -1, EAGAIN);
        return;
    }
    // Nothing waiting: a blocking hid_read, or a poll woken by another handle
    // on a shared pty (the pty is readable); see the class comment.
    failAndRelease(handle.parkedRead, EIO);
    handle.parkedRead = ref(client);
    handle.giveUpAt.reset();
    if (ptyReadable) {
        handle.giveUpAt = std::chrono::steady_clock::now() + kSharedReadWait;
        m_readTimerWake.notify_all();
    }
}

void CHidrawNode::runReadTimer()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stopping) {
        // The token is not silent while it holds a report back or works.
        if (m_holding || m_tokenWorking) {
            m_readTimerWake.wait(lock);
            continue;
        }
        const auto now = std::chrono::steady_clock::now();
        std::optional<std::chrono::steady_clock::time_point> next;
        for (auto& [client, handle] : m_handles) {
            if (!handle.parkedRead || !handle.giveUpAt) {
                continue;
            }
            if (now >= *handle.giveUpAt) {
                failAndRelease(handle.parkedRead, EAGAIN);
                handle.giveUpAt.reset();
            } else if (!next || *handle.giveUpAt < *next) {
                next = handle.giveUpAt;
            }
        }
        if (next) {
            m_readTimerWake.wait_until(lock, *next);
        } else {
            m_readTimerWake.wait(lock);
        }
    }
}

void CHidrawNode::setTokenWorking(bool on)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_tokenWorking = on;
    m_readTimerWake.notify_all();
}

void CHidrawNode::answerRead(UMockdevIoctlClient* client, const Report& report)
{
    // A short read takes the start of the report; the rest is lost, as in hidraw.
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    const size_t length = std::min(report.size(), size_t(arg->data_len));
    std::copy_n(report.begin(), length, arg->data);
    umockdev_ioctl_client_complete(client, long(length), 0);
}

void CHidrawNode::deliver(const Report& report)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const bool present = holdForRoom_inlock(lock);
    if (m_holding) {
        m_holding = false;
        m_readTimerWake.notify_all();
    }
    if (!present) {
        return;
    }
    if (const size_t lost = m_queues.push(report)) {
        logVerbose("%s: %zu handle(s) stopped reading, report lost for them", m_paths.devnode.c_str(), lost);
    }
    answerParkedReads_inlock();
    std::set<CReadinessPtys::Id> ptys;
    for (const auto& [client, handle] : m_handles) {
        ptys.insert(handle.pty);
    }
    for (CReadinessPtys::Id pty : ptys) {
        updateReadiness_inlock(pty);
    }
}

// Waits while a reader that may still be reading has no room; false when
// the device went away meanwhile.
bool CHidrawNode::holdForRoom_inlock(std::unique_lock<std::mutex>& lock)
{
    for (;;) {
        forgetClosedHandles_inlock();
        if (!m_present) {
            return false;
        }
        const auto until = m_queues.holdUntil(CReaderQueues::Clock::now());
        if (!until) {
            return true;
        }
        m_holding = true;
        m_roomInQueue.wait_until(lock, *until);
    }
}

void CHidrawNode::answerParkedReads_inlock()
{
    for (auto& [client, handle] : m_handles) {
        if (!handle.parkedRead) {
            continue;
        }
        if (std::optional<Report> report = m_queues.take(handle.queue)) {
            answerRead(handle.parkedRead, *report);
            g_object_unref(handle.parkedRead);
            handle.parkedRead = nullptr;
            handle.giveUpAt.reset();
        }
    }
}

void CHidrawNode::updateReadiness_inlock(CReadinessPtys::Id pty)
{
    size_t level = 0;
    for (const auto& [client, handle] : m_handles) {
        if (handle.pty == pty) {
            level = std::max(level, m_queues.size(handle.queue));
        }
    }
    m_ptys->setLevel(pty, level);
}

}  // namespace vexa::sim
