#include "HidrawNode.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <stdexcept>

#include "ReportDescriptor.h"
#include "SimLog.h"

namespace vexa::sim {
namespace {

// What the kernel's hidraw accepts in one write (HID_MAX_BUFFER_SIZE).
constexpr size_t kMaxWrite = 16384;
// hidraw keeps at most this many unread reports per open handle and drops
// newer ones.
constexpr size_t kMaxQueued = 63;
constexpr int kDrainWaitMs = 1000;
// How long a full queue waits for its reader before it drops reports.
constexpr std::chrono::milliseconds kReaderStopped{100};

std::string rootDir(UMockdevTestbed* testbed)
{
    gchar* root = umockdev_testbed_get_root_dir(testbed);
    std::string text = root;
    g_free(root);
    return text;
}

HidrawNode* self(gpointer user) { return static_cast<HidrawNode*>(user); }

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

}  // namespace

HidrawNode::HidrawNode(UMockdevTestbed* testbed, unsigned index, const TokenDescription& description,
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
}

HidrawNode::~HidrawNode()
{
    unplug();
    if (m_handler) {
        g_signal_handlers_disconnect_by_data(m_handler, this);
        g_object_unref(m_handler);
    }
    if (m_drainFd >= 0) {
        ::close(m_drainFd);
    }
}

void HidrawNode::addToTestbed()
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
// device takes the real number of the pty behind <root>/dev/hidrawN.
void HidrawNode::usePtyDeviceNumber(const std::string& root)
{
    const std::string node = root + m_paths.devnode;
    char target[PATH_MAX];
    const ssize_t n = ::readlink(node.c_str(), target, sizeof target - 1);
    if (n < 0) {
        throw std::runtime_error("no pty behind " + node + ": " + std::strerror(errno));
    }
    target[n] = '\0';
    m_signalFd = umockdev_testbed_get_dev_fd(m_testbed, m_paths.devnode.c_str());
    m_drainFd = ::open(target, O_RDWR | O_NOCTTY | O_CLOEXEC);
    struct stat st {};
    if (m_signalFd < 0 || m_drainFd < 0 || ::fstat(m_drainFd, &st) < 0) {
        throw std::runtime_error("cannot open the pty of " + m_paths.devnode + ": " + std::strerror(errno));
    }

    const std::string number = std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    ::unlink((root + "/sys/dev/char/243:" + std::to_string(m_index)).c_str());
    umockdev_testbed_set_attribute(m_testbed, m_paths.hidraw.c_str(), "dev", number.c_str());
    umockdev_testbed_set_property_int(m_testbed, m_paths.hidraw.c_str(), "MAJOR", int(major(st.st_rdev)));
    umockdev_testbed_set_property_int(m_testbed, m_paths.hidraw.c_str(), "MINOR", int(minor(st.st_rdev)));
    m_devnumLink = root + "/sys/dev/char/" + number;
    const std::string relative = "../.." + m_paths.hidraw.substr(4);
    // What the preload's stat() reports for the node.
    const std::string nodeNumber = root + "/dev/.node/" + m_paths.devnode.substr(5);
    ::unlink(nodeNumber.c_str());
    if (::symlink(relative.c_str(), m_devnumLink.c_str()) < 0 || ::symlink(number.c_str(), nodeNumber.c_str()) < 0) {
        throw std::runtime_error("cannot link device number of " + m_paths.devnode + ": " + std::strerror(errno));
    }
}

void HidrawNode::attachHandler()
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

void HidrawNode::unplug()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_present) {
            return;
        }
        m_present = false;
        dropParkedRead_inlock(EIO);
        m_queue.clear();
        m_roomInQueue.notify_all();
        // Left readable for good, so every poll wakes and the read fails.
        signalReports_inlock(1);
    }
    ::unlink(m_devnumLink.c_str());
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

void HidrawNode::onConnected(UMockdevIoctlClient* client)
{
    (void)client;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_present) {
        return;
    }
    drainReports_inlock(m_queue.size());
    m_queue.clear();
    m_lastRead = std::chrono::steady_clock::now();
    m_roomInQueue.notify_all();
    logVerbose("%s: handle opened", m_paths.devnode.c_str());
}

void HidrawNode::dropParkedRead_inlock(int error)
{
    if (!m_parkedRead) {
        return;
    }
    umockdev_ioctl_client_complete(m_parkedRead, -1, error);
    g_object_unref(m_parkedRead);
    m_parkedRead = nullptr;
}

void HidrawNode::onIoctl(UMockdevIoctlClient* client)
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

void HidrawNode::onWrite(UMockdevIoctlClient* client)
{
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    const size_t length = arg->data_len;
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_present) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return;
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

void HidrawNode::completeWrite(UMockdevIoctlClient* client, long length, bool taken)
{
    if (taken) {
        umockdev_ioctl_client_complete(client, length, 0);
    } else {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
    }
    g_object_unref(client);
}

void HidrawNode::onRead(UMockdevIoctlClient* client)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_present) {
        umockdev_ioctl_client_complete(client, -1, EIO);
        return;
    }
    if (!m_queue.empty()) {
        const Report report = std::move(m_queue.front());
        m_queue.pop_front();
        drainReports_inlock(1);
        m_lastRead = std::chrono::steady_clock::now();
        m_roomInQueue.notify_all();
        answerRead_inlock(client, report);
        return;
    }
    if (m_parkedRead && parkedReaderAlive_inlock()) {
        umockdev_ioctl_client_complete(client, -1, EBUSY);
        return;
    }
    dropParkedRead_inlock(EIO);
    // A read without a poll before it (blocking hid_read) waits for the next report.
    m_parkedRead = static_cast<UMockdevIoctlClient*>(g_object_ref(client));
}

void HidrawNode::answerRead_inlock(UMockdevIoctlClient* client, const Report& report)
{
    // A short read takes the start of the report; the rest is lost, as in hidraw.
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    const size_t length = std::min(report.size(), size_t(arg->data_len));
    std::copy_n(report.begin(), length, arg->data);
    umockdev_ioctl_client_complete(client, long(length), 0);
}

// umockdev does not notice that a client with a parked read has died; a live
// one answers a reload of the read buffer from inside its read().
bool HidrawNode::parkedReaderAlive_inlock()
{
    GError* error = nullptr;
    if (umockdev_ioctl_data_reload(umockdev_ioctl_client_get_arg(m_parkedRead), &error)) {
        return true;
    }
    g_clear_error(&error);
    return false;
}

void HidrawNode::deliver(const Report& report)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    while (m_present && !m_parkedRead && m_queue.size() >= kMaxQueued &&
           std::chrono::steady_clock::now() < m_lastRead + kReaderStopped) {
        m_roomInQueue.wait_until(lock, m_lastRead + kReaderStopped);
    }
    if (!m_present) {
        return;
    }
    if (m_parkedRead && !parkedReaderAlive_inlock()) {
        dropParkedRead_inlock(EIO);
    }
    if (m_parkedRead) {
        answerRead_inlock(m_parkedRead, report);
        g_object_unref(m_parkedRead);
        m_parkedRead = nullptr;
    } else if (m_queue.size() < kMaxQueued) {
        m_queue.push_back(report);
        signalReports_inlock(1);
    } else {
        logVerbose("%s: input queue full, report dropped", m_paths.devnode.c_str());
    }
}

void HidrawNode::signalReports_inlock(size_t count)
{
    const std::string bytes(count, 'r');
    if (count && ::write(m_signalFd, bytes.data(), count) != ssize_t(count)) {
        logVerbose("%s: pty write failed: %s", m_paths.devnode.c_str(), std::strerror(errno));
    }
}

void HidrawNode::drainReports_inlock(size_t count)
{
    // The pty passes bytes from master to slave asynchronously, so wait for
    // them; the bound keeps a miscount from hanging every client.
    std::string bytes(count, '\0');
    size_t done = 0;
    while (done < count) {
        pollfd pfd{m_drainFd, POLLIN, 0};
        if (::poll(&pfd, 1, kDrainWaitMs) <= 0) {
            logVerbose("%s: pty byte missing", m_paths.devnode.c_str());
            break;
        }
        const ssize_t n = ::read(m_drainFd, bytes.data() + done, count - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += size_t(n);
    }
}

}  // namespace vexa::sim
