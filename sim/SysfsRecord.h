#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "TokenDescription.h"

namespace vexa::sim {

inline constexpr uint16_t kVendorId = 0x0483;
inline constexpr uint16_t kProductId = 0xA2AC;

// The chain of sysfs devices one token needs for hidapi's hidraw back end:
// USB device, its interface, the HID device and its hidraw node.
struct SysfsPaths {
    std::string usbDevice;
    std::string usbInterface;
    std::string hid;
    std::string hidraw;
    std::string devnode;  // "/dev/hidrawN"
};

// `index` numbers the hidraw node and the USB port; each plug takes a new one.
SysfsPaths sysfsPaths(unsigned index);

// The devices in umockdev's record format (P:/E:/A:/H:/L:/N: lines). The
// hidraw node is created as a pty ("N:" without contents).
std::string sysfsRecord(const SysfsPaths& paths, unsigned index, const TokenDescription& description,
                        const std::vector<uint8_t>& descriptor);

// HID_NAME and HIDIOCGRAWNAME of the token.
std::string hidName(const TokenDescription& description);
// HID_PHYS and HIDIOCGRAWPHYS of the token on USB port `index` + 1.
std::string hidPhys(unsigned index);

}  // namespace vexa::sim
