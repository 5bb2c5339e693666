#pragma once
#include <cstdint>
#include <string>
#include <vector>

typedef struct _UMockdevIoctlClient UMockdevIoctlClient;

namespace vexa::sim {

// What the hidraw ioctls report about a device.
struct HidrawInfo {
    std::vector<uint8_t> descriptor;
    std::string name;
    std::string phys;
    std::string uniq;
};

// Answers one ioctl on a present hidraw device as the kernel would (hidapi's
// hid_open_path needs the report descriptor ioctls to succeed); completes the
// request.
void answerHidrawIoctl(UMockdevIoctlClient* client, const HidrawInfo& info);

}  // namespace vexa::sim
