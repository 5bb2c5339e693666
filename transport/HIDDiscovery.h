#pragma once
#include <hidapi.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>

// Finding tokens among the HID layer's enumeration records.
namespace corvel::hid {

constexpr const char* kTokenManufacturer = "corvelWorks";

struct EnumerationDeleter {
    void operator()(hid_device_info* list) const { hid_free_enumeration(list); }
};
using Enumeration = std::unique_ptr<hid_device_info, EnumerationDeleter>;

// The C library's wide-to-multibyte conversion, cut to 255 bytes; nothing
// when the text has no multibyte form in the current locale.
std::optional<std::string> toMultibyte(const wchar_t* text);
// As toMultibyte, but throws IOException when the text cannot be converted.
std::string requireMultibyte(const wchar_t* text);

struct DeviceFilter {
    uint16_t vendorId;           // 0: any vendor whose manufacturer is kTokenManufacturer
    uint16_t productId;          // 0: any
    uint16_t usagePage;          // 0: any
    const std::string& product;  // empty: any
    const std::string& serial;   // empty: any
};

// First record of list that passes the filter, or null.
const hid_device_info* chooseDevice(const hid_device_info* list, const DeviceFilter& filter);

// Serial numbers of the tokens the HID layer lists for the ids (0 = any).
std::set<std::string> collectSerialNumbers(uint16_t vendorId, uint16_t productId);

}  // namespace corvel::hid
