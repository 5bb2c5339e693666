#include "HIDDiscovery.h"

#include <cstdio>
#include <cstdlib>

#include "CHIDTransport.h"
#include "Exception.h"
#include "TokenNames.h"

namespace corvel::hid {
namespace {

bool textEquals(const wchar_t* text, const std::string& expected)
{
    if (text == nullptr) {
        return false;
    }
    // A text without a multibyte form cannot equal any filter given in bytes.
    const std::optional<std::string> converted = toMultibyte(text);
    return converted.has_value() && *converted == expected;
}

// Serial numbers name the same token whatever the case of their letters: the
// library writes them in upper case.
bool serialEquals(const wchar_t* serial, const std::string& expected)
{
    if (serial == nullptr) {
        return false;
    }
    const std::optional<std::string> converted = toMultibyte(serial);
    return converted.has_value() && sameSerial(*converted, expected);
}

// The tests both the listing and open() apply before any filter.
bool isTokenCandidate(const hid_device_info& device, uint16_t vendorId)
{
    if (device.serial_number == nullptr || device.serial_number[0] == L'\0' || device.manufacturer_string == nullptr) {
        return false;
    }
    return vendorId != 0 || textEquals(device.manufacturer_string, kTokenManufacturer);
}

bool matchesNameFilters(const hid_device_info& device, const DeviceFilter& filter)
{
    const bool byProduct = !filter.product.empty();
    const bool bySerial = !filter.serial.empty();
    if (!byProduct && !bySerial) {
        // Without a filter only an explicit vendor id identifies a token.
        return filter.vendorId != 0;
    }
    if (byProduct && !textEquals(device.product_string, filter.product)) {
        return false;
    }
    return !bySerial || serialEquals(device.serial_number, filter.serial);
}

}  // namespace

std::optional<std::string> toMultibyte(const wchar_t* text)
{
    char buffer[256];
    size_t length = std::wcstombs(buffer, text, sizeof buffer);
    if (length == static_cast<size_t>(-1)) {
        return std::nullopt;
    }
    // A full buffer carries no terminator; the last byte gives way to it.
    if (length >= sizeof buffer) {
        length = sizeof buffer - 1;
    }
    return std::string(buffer, length);
}

std::string requireMultibyte(const wchar_t* text)
{
    std::optional<std::string> converted = toMultibyte(text);
    if (!converted.has_value()) {
        throw IOException(TransportFailure::Unreachable, "HID device string cannot be converted to multibyte text");
    }
    return std::move(*converted);
}

const hid_device_info* chooseDevice(const hid_device_info* list, const DeviceFilter& filter)
{
    for (const hid_device_info* device = list; device != nullptr; device = device->next) {
        if (!isTokenCandidate(*device, filter.vendorId)) {
            continue;
        }
        if (filter.usagePage != 0 && device->usage_page != filter.usagePage) {
            continue;
        }
        if (filter.vendorId != 0 && device->vendor_id != filter.vendorId) {
            continue;
        }
        // A product id of 0 means any product here too, as it does for the enumeration.
        if (filter.vendorId != 0 && filter.productId != 0 && device->product_id != filter.productId) {
            continue;
        }
        if (matchesNameFilters(*device, filter)) {
            return device;
        }
    }
    return nullptr;
}

std::set<std::string> collectSerialNumbers(uint16_t vendorId, uint16_t productId)
{
    if (hid_init() != 0) {
        throw IOException(TransportFailure::Unreachable, "Unable to initialise the HID layer");
    }
    const Enumeration list(hid_enumerate(vendorId, productId));
    std::set<std::string> serials;
    for (const hid_device_info* device = list.get(); device != nullptr; device = device->next) {
        if (isTokenCandidate(*device, vendorId)) {
            serials.insert(requireMultibyte(device->serial_number));
        }
    }
    return serials;
}

}  // namespace corvel::hid

namespace corvel {

std::optional<std::vector<std::string>> CHIDTransport::listSerialNumbers(uint16_t vendorId, uint16_t productId)
{
    try {
        const std::set<std::string> serials = hid::collectSerialNumbers(vendorId, productId);
        return std::vector<std::string>(serials.begin(), serials.end());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "Exception while enumerating HID devices. (%s)", error.what());
        return std::nullopt;
    }
}

}  // namespace corvel
