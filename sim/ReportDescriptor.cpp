#include "ReportDescriptor.h"

namespace vexa::sim {
namespace {

// Usage Page (0xFF01), Usage (1), Collection (Application), End Collection.
const std::vector<uint8_t> kSecondCollection = {0x06, 0x01, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0xC0};

const std::vector<uint8_t> kU2fCollection = {
    0x06, 0xD0, 0xF1,              // Usage Page (FIDO Alliance)
    0x09, 0x01,                    // Usage (U2F Authenticator Device)
    0xA1, 0x01,                    // Collection (Application)
    0x09, 0x20,                    //   Usage (Input Report Data)
    0x15, 0x00, 0x26, 0xFF, 0x00,  //   Logical Minimum (0), Logical Maximum (255)
    0x75, 0x08, 0x95, 0x40,        //   Report Size (8), Report Count (64)
    0x81, 0x02,                    //   Input (Data, Variable, Absolute)
    0x09, 0x21,                    //   Usage (Output Report Data)
    0x15, 0x00, 0x26, 0xFF, 0x00,  //   Logical Minimum (0), Logical Maximum (255)
    0x75, 0x08, 0x95, 0x40,        //   Report Size (8), Report Count (64)
    0x91, 0x02,                    //   Output (Data, Variable, Absolute)
    0xC0,                          // End Collection
};

const std::vector<uint8_t> kReportIdCollection = {
    0x06, 0x00, 0xFF,              // Usage Page (Vendor 0xFF00)
    0x09, 0x01,                    // Usage (1)
    0xA1, 0x01,                    // Collection (Application)
    0x85, 0x02,                    //   Report ID (2)
    0x09, 0x20,                    //   Usage (0x20)
    0x15, 0x00, 0x26, 0xFF, 0x00,  //   Logical Minimum (0), Logical Maximum (255)
    0x75, 0x08, 0x95, 0x3F,        //   Report Size (8), Report Count (63)
    0x81, 0x02,                    //   Input (Data, Variable, Absolute)
    0x85, 0x01,                    //   Report ID (1)
    0x09, 0x21,                    //   Usage (0x21)
    0x15, 0x00, 0x26, 0xFF, 0x00,  //   Logical Minimum (0), Logical Maximum (255)
    0x75, 0x08, 0x95, 0x3F,        //   Report Size (8), Report Count (63)
    0x91, 0x02,                    //   Output (Data, Variable, Absolute)
    0xC0,                          // End Collection
};

}  // namespace

std::vector<uint8_t> reportDescriptor(Framing framing)
{
    std::vector<uint8_t> descriptor = framing == Framing::U2f ? kU2fCollection : kReportIdCollection;
    descriptor.insert(descriptor.end(), kSecondCollection.begin(), kSecondCollection.end());
    return descriptor;
}

}  // namespace vexa::sim
