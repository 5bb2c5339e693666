// Tokens attached over USB HID: the hidraw nodes the HID layer lists for the
// configured ids, whether this user may open them, and the udev rule that
// should let it.
#include <dirent.h>
#include <hidapi.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>

#include "Doctor.h"
#include "FileAccess.h"
#include "HIDDiscovery.h"
#include "SerialId.h"
#include "TokenListing.h"

namespace vexa::tool::doctor {
namespace {

const char* const kRuleDirectories[] = {"/etc/udev/rules.d", "/run/udev/rules.d", "/usr/local/lib/udev/rules.d",
                                        "/usr/lib/udev/rules.d", "/lib/udev/rules.d"};

std::string hex4(uint16_t value)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value);
    return text;
}

std::string lowered(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

// The first rules file that names both ids (written as udev compares them:
// four lower-case hexadecimal digits).
std::string findRule(uint16_t vid, uint16_t pid)
{
    for (const char* directory : kRuleDirectories) {
        std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(directory), ::closedir);
        while (listing != nullptr) {
            const dirent* entry = ::readdir(listing.get());
            if (entry == nullptr) {
                break;
            }
            const std::string name = entry->d_name;
            const std::string path = std::string(directory) + "/" + name;
            const auto facts = fileFacts(path);
            if (name.size() < 6 || name.compare(name.size() - 6, 6, ".rules") != 0 || !facts ||
                !S_ISREG(facts->info.st_mode)) {
                continue;
            }
            std::ifstream file(path);
            const std::string text = lowered(std::string(std::istreambuf_iterator<char>(file), {}));
            if (text.find("\"" + hex4(vid) + "\"") != std::string::npos &&
                text.find("\"" + hex4(pid) + "\"") != std::string::npos) {
                return path;
            }
        }
    }
    return "";
}

void checkRule(CFindings& findings, const pkcs11::LibrarySettings& settings)
{
    const std::string rule = findRule(settings.vid, settings.pid);
    if (rule.empty()) {
        findings.warn("udev", "no rule for " + hex4(settings.vid) + ":" + hex4(settings.pid) +
                                  " in /etc/udev/rules.d " +
                                  "or /usr/lib/udev/rules.d: the tokens' hidraw nodes keep root's group and mode; " +
                                  "install 70-vexa.rules (group vexa, mode 0660)");
    } else {
        findings.ok("udev", "rule " + rule);
    }
}

void checkNode(CFindings& findings, const hid_device_info& device, uint16_t vendorId,
               const std::set<std::string>& taken)
{
    const std::string path = device.path != nullptr ? device.path : "";
    const std::string serial = corvel::hid::toMultibyte(device.serial_number).value_or("");
    const std::string product = corvel::hid::toMultibyte(device.product_string).value_or("");
    const std::string subject = "hid " + path;
    const std::string manufacturer = corvel::hid::toMultibyte(device.manufacturer_string).value_or("");
    if (vendorId == 0 && manufacturer != corvel::hid::kTokenManufacturer) {
        return;  // any vendor: only the tokens' manufacturer counts
    }
    if (taken.count(serial) == 0) {
        findings.warn(subject, product + " with serial number \"" + serial + "\": the library does not take it " +
                                   "(a token has a 12-character serial number and the manufacturer corvelWorks)");
        return;
    }
    const auto facts = fileFacts(path);
    if (!facts) {
        findings.fail(subject, "token " + serial + ": the node cannot be examined");
        return;
    }
    const std::string problem = accessProblem(path, *facts, R_OK | W_OK);
    if (!problem.empty()) {
        findings.fail(subject, "token " + serial + ", " + describe(*facts) + "; this user may not open it: " + problem);
        return;
    }
    findings.ok(subject, "token " + serial + " (" + product + "), " + describe(*facts) + "; this user may open it");
}

}  // namespace

bool checkHid(CFindings& findings, const pkcs11::LibrarySettings& settings)
{
    checkRule(findings, settings);
    std::set<std::string> taken;
    for (const pkcs11::SerialId serial : pkcs11::listHidTokens(settings.vid, settings.pid)) {
        taken.insert(pkcs11::serialIdToText(serial));
    }
    hid_init();
    const corvel::hid::Enumeration devices(hid_enumerate(settings.vid, settings.pid));
    if (devices == nullptr) {
        findings.fail("hid", "no HID device with vendor id " + hex4(settings.vid) + " and product id " +
                                 hex4(settings.pid) + ": is a token plugged in? (tokens served by vexa-daemon " +
                                 "are reached through its sockets: \"transport\": {\"unix\": true} in " +
                                 pkcs11::kConfigFileName + ")");
        return true;
    }
    std::set<std::string> seen;  // a node is listed once per top-level usage
    for (const hid_device_info* device = devices.get(); device != nullptr; device = device->next) {
        if (device->path != nullptr && seen.insert(device->path).second) {
            checkNode(findings, *device, settings.vid, taken);
        }
    }
    return true;
}

}  // namespace vexa::tool::doctor
