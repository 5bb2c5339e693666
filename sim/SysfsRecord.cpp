#include "SysfsRecord.h"

#include <cstdarg>
#include <cstdio>

namespace vexa::sim {
namespace {

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

std::string format(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    std::string text(n > 0 ? size_t(n) : 0, '\0');
    std::vsnprintf(text.data(), text.size() + 1, fmt, args);
    va_end(args);
    return text;
}

// umockdev records name devices without the leading "/sys".
const char* recordPath(const std::string& sysPath) { return sysPath.c_str() + 4; }

std::string hex(const std::vector<uint8_t>& bytes)
{
    std::string text;
    for (uint8_t b : bytes) {
        text += format("%02X", b);
    }
    return text;
}

}  // namespace

std::string hidName(const TokenDescription& description)
{
    return description.manufacturer + " " + description.product;
}

std::string hidPhys(unsigned index) { return format("usb-0000:00:14.0-%u/input0", index + 1); }

SysfsPaths sysfsPaths(unsigned index)
{
    SysfsPaths p;
    const unsigned port = index + 1;
    p.usbDevice = format("/sys/devices/pci0000:00/0000:00:14.0/usb1/1-%u", port);
    p.usbInterface = p.usbDevice + format("/1-%u:1.0", port);
    p.hid = p.usbInterface + format("/0003:%04X:%04X.%04X", kVendorId, kProductId, port);
    p.hidraw = p.hid + format("/hidraw/hidraw%u", index);
    p.devnode = format("/dev/hidraw%u", index);
    return p;
}

std::string sysfsRecord(const SysfsPaths& paths, unsigned index, const TokenDescription& description,
                        const std::vector<uint8_t>& descriptor)
{
    const unsigned devnum = index + 2;
    const std::string name = hidName(description);
    const std::string phys = hidPhys(index);
    std::string s;
    s += format(
        "P: %s\n"
        "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n"
        "E: PRODUCT=%x/%x/100\nE: TYPE=0/0/0\nE: BUSNUM=001\nE: DEVNUM=%03u\n"
        "A: idVendor=%04x\nA: idProduct=%04x\nA: bcdDevice=0100\n"
        "A: manufacturer=%s\nA: product=%s\nA: serial=%s\n"
        "A: busnum=1\nA: devnum=%u\nA: speed=12\nA: bDeviceClass=00\nA: bNumInterfaces= 1\n"
        "A: bConfigurationValue=1\nA: bMaxPacketSize0=64\nA: version= 2.00\n\n",
        recordPath(paths.usbDevice), kVendorId, kProductId, devnum, kVendorId, kProductId,
        description.manufacturer.c_str(), description.product.c_str(), description.serial.c_str(), devnum);
    s += format(
        "P: %s\n"
        "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nE: DRIVER=usbhid\n"
        "E: PRODUCT=%x/%x/100\nE: TYPE=0/0/0\nE: INTERFACE=3/0/0\n"
        "A: bInterfaceNumber=00\nA: bInterfaceClass=03\nA: bInterfaceSubClass=00\n"
        "A: bInterfaceProtocol=00\nA: bNumEndpoints=02\nA: bAlternateSetting= 0\n\n",
        recordPath(paths.usbInterface), kVendorId, kProductId);
    s += format(
        "P: %s\n"
        "E: SUBSYSTEM=hid\nE: DRIVER=hid-generic\n"
        "E: HID_ID=0003:%08X:%08X\nE: HID_NAME=%s\nE: HID_PHYS=%s\nE: HID_UNIQ=%s\n"
        "E: MODALIAS=hid:b0003g0001v%08Xp%08X\n"
        "H: report_descriptor=%s\n\n",
        recordPath(paths.hid), kVendorId, kProductId, name.c_str(), phys.c_str(), description.serial.c_str(), kVendorId,
        kProductId, hex(descriptor).c_str());
    // hidapi reads <hidraw>/device/{uevent,report_descriptor}; without the
    // link it finds nothing.
    s += format(
        "P: %s\n"
        "E: SUBSYSTEM=hidraw\nE: DEVNAME=%s\nE: MAJOR=243\nE: MINOR=%u\n"
        "A: dev=243:%u\n"
        "L: device=../..\n"
        "N: %s\n\n",
        recordPath(paths.hidraw), paths.devnode.c_str(), index, index, paths.devnode.c_str() + 5);
    return s;
}

}  // namespace vexa::sim
