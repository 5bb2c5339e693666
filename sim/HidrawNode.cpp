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

#include "SimLog.h"
#include "ReportDescriptor.h"

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

std::string rootDir(UMockdevTestbed* testbed) {
    gchar* root = umockdev_testbed_get_root_dir(testbed);
    std::string text = root;
    g_free(root);
    return text;
}

HidrawNode* self(gpointer user) {
    return static_cast<HidrawNode*>(user);
}

gboolean handleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    self(user)->onIoctl(client);
    return TRUE;
}

gboolean handleRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    self(user)->onRead(client);
    return TRUE;
}

gboolean handleWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    self(user)->onWrite(client);
    return TRUE;
}

void clientConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    self(user)->onConnected(client);
}

}  // namespace

HidrawNode::HidrawNode(UMockdevTestbed* testbed, unsigned index, const TokenDescription& description,
                       bool tokenCompletesWrites, WriteSink sink)
    : testbed_(testbed),
      index_(index),
      description_(description),
      tokenCompletesWrites_(tokenCompletesWrites),
      sink_(std::move(sink)),
      paths_(sysfsPaths(index)),
      info_{reportDescriptor(description.framing), hidName(description), hidPhys(index), description.serial} {
    addToTestbed();
    attachHandler();
}

HidrawNode::~HidrawNode() {
    unplug();
    if (handler_) {
        g_signal_handlers_disconnect_by_data(handler_, this);
        g_object_unref(handler_);
    }
    if (drainFd_ >= 0)
        ::close(drainFd_);
}

void HidrawNode::addToTestbed() {
    GError* error = nullptr;
    const std::string record = sysfsRecord(paths_, index_, description_, info_.descriptor);
    if (!umockdev_testbed_add_from_string(testbed_, record.c_str(), &error)) {
        std::string message = std::string("cannot add token to the testbed: ") + error->message;
        g_error_free(error);
        throw std::runtime_error(message);
    }
    usePtyDeviceNumber(rootDir(testbed_));
}

// hidapi's string getters on an open handle fstat() the descriptor, which the
// preload does not fake, and look the device up by that number; so the hidraw
// device takes the real number of the pty behind <root>/dev/hidrawN.
void HidrawNode::usePtyDeviceNumber(const std::string& root) {
    const std::string node = root + paths_.devnode;
    char target[PATH_MAX];
    const ssize_t n = ::readlink(node.c_str(), target, sizeof target - 1);
    if (n < 0)
        throw std::runtime_error("no pty behind " + node + ": " + std::strerror(errno));
    target[n] = '\0';
    signalFd_ = umockdev_testbed_get_dev_fd(testbed_, paths_.devnode.c_str());
    drainFd_ = ::open(target, O_RDWR | O_NOCTTY | O_CLOEXEC);
    struct stat st {};
    if (signalFd_ < 0 || drainFd_ < 0 || ::fstat(drainFd_, &st) < 0)
        throw std::runtime_error("cannot open the pty of " + paths_.devnode + ": " + std::strerror(errno));

    const std::string number = std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    ::unlink((root + "/sys/dev/char/243:" + std::to_string(index_)).c_str());
    umockdev_testbed_set_attribute(testbed_, paths_.hidraw.c_str(), "dev", number.c_str());
    umockdev_testbed_set_property_int(testbed_, paths_.hidraw.c_str(), "MAJOR", int(major(st.st_rdev)));
    umockdev_testbed_set_property_int(testbed_, paths_.hidraw.c_str(), "MINOR", int(minor(st.st_rdev)));
    devnumLink_ = root + "/sys/dev/char/" + number;
    const std::string relative = "../.." + paths_.hidraw.substr(4);
    // What the preload's stat() reports for the node.
    const std::string nodeNumber = root + "/dev/.node/" + paths_.devnode.substr(5);
    ::unlink(nodeNumber.c_str());
    if (::symlink(relative.c_str(), devnumLink_.c_str()) < 0 || ::symlink(number.c_str(), nodeNumber.c_str()) < 0)
        throw std::runtime_error("cannot link device number of " + paths_.devnode + ": " + std::strerror(errno));
}

void HidrawNode::attachHandler() {
    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(handleIoctl), this);
    g_signal_connect(handler_, "handle-read", G_CALLBACK(handleRead), this);
    g_signal_connect(handler_, "handle-write", G_CALLBACK(handleWrite), this);
    g_signal_connect(handler_, "client-connected", G_CALLBACK(clientConnected), this);
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed_, paths_.devnode.c_str(), handler_, &error)) {
        std::string message = std::string("cannot attach to ") + paths_.devnode + ": " + error->message;
        g_error_free(error);
        throw std::runtime_error(message);
    }
}

void HidrawNode::unplug() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!present_)
            return;
        present_ = false;
        dropParkedRead_inlock(EIO);
        queue_.clear();
        roomInQueue_.notify_all();
        // Left readable for good, so every poll wakes and the read fails.
        signalReports_inlock(1);
    }
    ::unlink(devnumLink_.c_str());
    // Children first: removing a parent leaves the class links of its children.
    for (const std::string* path : {&paths_.hidraw, &paths_.hid, &paths_.usbInterface, &paths_.usbDevice})
        umockdev_testbed_remove_device(testbed_, path->c_str());
    GError* error = nullptr;
    if (!umockdev_testbed_detach_ioctl(testbed_, paths_.devnode.c_str(), &error)) {
        logVerbose("%s: detach: %s", paths_.devnode.c_str(), error->message);
        g_error_free(error);
    }
    logVerbose("%s (%s) unplugged", paths_.devnode.c_str(), description_.serial.c_str());
}

void HidrawNode::onConnected(UMockdevIoctlClient* client) {
    (void)client;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!present_)
        return;
    drainReports_inlock(queue_.size());
    queue_.clear();
    lastRead_ = std::chrono::steady_clock::now();
    roomInQueue_.notify_all();
    logVerbose("%s: handle opened", paths_.devnode.c_str());
}

void HidrawNode::dropParkedRead_inlock(int error) {
    if (!parkedRead_)
        return;
    umockdev_ioctl_client_complete(parkedRead_, -1, error);
    g_object_unref(parkedRead_);
    parkedRead_ = nullptr;
}

void HidrawNode::onIoctl(UMockdevIoctlClient* client) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!present_) {
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return;
        }
    }
    answerHidrawIoctl(client, info_);
}

void HidrawNode::onWrite(UMockdevIoctlClient* client) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    const size_t length = arg->data_len;
    std::unique_lock<std::mutex> lock(mutex_);
    if (!present_) {
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
    if (!tokenCompletesWrites_) {
        umockdev_ioctl_client_complete(client, long(length), 0);
        sink_(std::move(bytes), nullptr);
        return;
    }
    g_object_ref(client);
    sink_(std::move(bytes), [this, client, length](bool taken) { completeWrite(client, long(length), taken); });
}

void HidrawNode::completeWrite(UMockdevIoctlClient* client, long length, bool taken) {
    if (taken)
        umockdev_ioctl_client_complete(client, length, 0);
    else
        umockdev_ioctl_client_complete(client, -1, ENODEV);
    g_object_unref(client);
}

void HidrawNode::onRead(UMockdevIoctlClient* client) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!present_) {
        umockdev_ioctl_client_complete(client, -1, EIO);
        return;
    }
    if (!queue_.empty()) {
        const Report report = std::move(queue_.front());
        queue_.pop_front();
        drainReports_inlock(1);
        lastRead_ = std::chrono::steady_clock::now();
        roomInQueue_.notify_all();
        answerRead_inlock(client, report);
        return;
    }
    if (parkedRead_ && parkedReaderAlive_inlock()) {
        umockdev_ioctl_client_complete(client, -1, EBUSY);
        return;
    }
    dropParkedRead_inlock(EIO);
    // A read without a poll before it (blocking hid_read) waits for the next report.
    parkedRead_ = static_cast<UMockdevIoctlClient*>(g_object_ref(client));
}

void HidrawNode::answerRead_inlock(UMockdevIoctlClient* client, const Report& report) {
    // A short read takes the start of the report; the rest is lost, as in hidraw.
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    const size_t length = std::min(report.size(), size_t(arg->data_len));
    std::copy_n(report.begin(), length, arg->data);
    umockdev_ioctl_client_complete(client, long(length), 0);
}

// umockdev does not notice that a client with a parked read has died; a live
// one answers a reload of the read buffer from inside its read().
bool HidrawNode::parkedReaderAlive_inlock() {
    GError* error = nullptr;
    if (umockdev_ioctl_data_reload(umockdev_ioctl_client_get_arg(parkedRead_), &error))
        return true;
    g_clear_error(&error);
    return false;
}

void HidrawNode::deliver(const Report& report) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (present_ && !parkedRead_ && queue_.size() >= kMaxQueued &&
           std::chrono::steady_clock::now() < lastRead_ + kReaderStopped)
        roomInQueue_.wait_until(lock, lastRead_ + kReaderStopped);
    if (!present_)
        return;
    if (parkedRead_ && !parkedReaderAlive_inlock())
        dropParkedRead_inlock(EIO);
    if (parkedRead_) {
        answerRead_inlock(parkedRead_, report);
        g_object_unref(parkedRead_);
        parkedRead_ = nullptr;
    } else if (queue_.size() < kMaxQueued) {
        queue_.push_back(report);
        signalReports_inlock(1);
    } else {
        logVerbose("%s: input queue full, report dropped", paths_.devnode.c_str());
    }
}

void HidrawNode::signalReports_inlock(size_t count) {
    const std::string bytes(count, 'r');
    if (count && ::write(signalFd_, bytes.data(), count) != ssize_t(count))
        logVerbose("%s: pty write failed: %s", paths_.devnode.c_str(), std::strerror(errno));
}

void HidrawNode::drainReports_inlock(size_t count) {
    // The pty passes bytes from master to slave asynchronously, so wait for
    // them; the bound keeps a miscount from hanging every client.
    std::string bytes(count, '\0');
    size_t done = 0;
    while (done < count) {
        pollfd pfd{drainFd_, POLLIN, 0};
        if (::poll(&pfd, 1, kDrainWaitMs) <= 0) {
            logVerbose("%s: pty byte missing", paths_.devnode.c_str());
            break;
        }
        const ssize_t n = ::read(drainFd_, bytes.data() + done, count - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += size_t(n);
    }
}

}  // namespace vexa::sim
