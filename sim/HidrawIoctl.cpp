#include "HidrawIoctl.h"

#include <linux/hidraw.h>
#include <linux/input.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "SysfsRecord.h"

namespace vexa::sim {
namespace {

// The memory an ioctl argument points to, mapped from the client; null when
// the client's pointer is bad.
class CArgMemory {
public:
    CArgMemory(UMockdevIoctlClient* client, size_t size)
    {
        GError* error = nullptr;
        m_data = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, size, &error);
        if (error) {
            g_error_free(error);
        }
    }
    ~CArgMemory()
    {
        if (m_data) {
            g_object_unref(m_data);
        }
    }
    CArgMemory(const CArgMemory&) = delete;
    CArgMemory& operator=(const CArgMemory&) = delete;

    uint8_t* bytes() const { return m_data ? m_data->data : nullptr; }

private:
    UMockdevIoctlData* m_data = nullptr;
};

struct Result {
    long value;
    int error;
};

constexpr Result kFault{-1, EFAULT};

Result copyString(UMockdevIoctlClient* client, unsigned size, const std::string& text)
{
    // Like the kernel: the text with its terminator, cut to the caller's size.
    const size_t length = std::min<size_t>(text.size() + 1, size);
    CArgMemory memory(client, size);
    if (!memory.bytes()) {
        return kFault;
    }
    std::memcpy(memory.bytes(), text.c_str(), length);
    return {long(length), 0};
}

Result descriptorSize(UMockdevIoctlClient* client, const HidrawInfo& info)
{
    CArgMemory memory(client, sizeof(int));
    if (!memory.bytes()) {
        return kFault;
    }
    const int size = int(info.descriptor.size());
    std::memcpy(memory.bytes(), &size, sizeof size);
    return {0, 0};
}

Result descriptor(UMockdevIoctlClient* client, const HidrawInfo& info)
{
    CArgMemory memory(client, sizeof(hidraw_report_descriptor));
    if (!memory.bytes()) {
        return kFault;
    }
    auto* rd = reinterpret_cast<hidraw_report_descriptor*>(memory.bytes());
    if (rd->size > HID_MAX_DESCRIPTOR_SIZE - 1) {
        return {-1, EINVAL};
    }
    std::memcpy(rd->value, info.descriptor.data(), std::min<size_t>(rd->size, info.descriptor.size()));
    return {0, 0};
}

Result rawInfo(UMockdevIoctlClient* client)
{
    CArgMemory memory(client, sizeof(hidraw_devinfo));
    if (!memory.bytes()) {
        return kFault;
    }
    hidraw_devinfo devinfo{};
    devinfo.bustype = BUS_USB;
    devinfo.vendor = int16_t(kVendorId);
    devinfo.product = int16_t(kProductId);
    std::memcpy(memory.bytes(), &devinfo, sizeof devinfo);
    return {0, 0};
}

Result dispatch(UMockdevIoctlClient* client, const HidrawInfo& info)
{
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    const unsigned size = _IOC_SIZE(request);
    if (_IOC_TYPE(request) != 'H') {
        return {-1, ENOTTY};
    }
    switch (_IOC_NR(request)) {
    case _IOC_NR(HIDIOCGRDESCSIZE):
        return descriptorSize(client, info);
    case _IOC_NR(HIDIOCGRDESC):
        return descriptor(client, info);
    case _IOC_NR(HIDIOCGRAWINFO):
        return rawInfo(client);
    case _IOC_NR(HIDIOCGRAWNAME(0)):
        return copyString(client, size, info.name);
    case _IOC_NR(HIDIOCGRAWPHYS(0)):
        return copyString(client, size, info.phys);
    case _IOC_NR(HIDIOCGRAWUNIQ(0)):
        return copyString(client, size, info.uniq);
    case _IOC_NR(HIDIOCSFEATURE(0)):
    case _IOC_NR(HIDIOCGFEATURE(0)):
    case 0x09:
    case 0x0A:
    case 0x0B:
    case 0x0C:               // input/output report get and set
        return {-1, EPIPE};  // the token has no such reports: the control request stalls
    default:
        return {-1, ENOTTY};
    }
}

}  // namespace

void answerHidrawIoctl(UMockdevIoctlClient* client, const HidrawInfo& info)
{
    const Result result = dispatch(client, info);
    umockdev_ioctl_client_complete(client, result.value, result.error);
}

}  // namespace vexa::sim
