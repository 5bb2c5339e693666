// The daemon's Unix sockets: listed by the library's own lister and reached
// with its own transport.
#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <set>

#include "CUnixTransport.h"
#include "Doctor.h"
#include "Exception.h"
#include "FileAccess.h"
#include "TokenListing.h"

namespace vexa::tool::doctor {
namespace {

constexpr const char* kSocketPrefix = "vexa.";

// Files in the socket directory that look meant for the library but that it
// does not take.
void reportSkipped(Findings& findings, const std::string& dir, const std::set<std::string>& taken)
{
    std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(dir.c_str()), ::closedir);
    if (listing == nullptr) {
        return;
    }
    while (const dirent* entry = ::readdir(listing.get())) {
        const std::string path = dir + "/" + entry->d_name;
        if (std::strncmp(entry->d_name, kSocketPrefix, std::strlen(kSocketPrefix)) == 0 && taken.count(path) == 0) {
            findings.warn("sockets", path + ": the library does not take it; it takes sockets named " +
                                         "vexa.<serial>.sock, with 12 upper-case hexadecimal digits");
        }
    }
}

void checkSocket(Findings& findings, const std::string& path)
{
    const std::string subject = "socket " + path;
    const auto facts = fileFacts(path);
    if (!facts) {
        findings.fail(subject, std::strerror(errno));
        return;
    }
    const std::string problem = accessProblem(path, *facts, W_OK);
    if (!problem.empty()) {
        findings.fail(subject, describe(*facts) + "; this user may not connect: " + problem);
        return;
    }
    corvel::CUnixTransport transport(path, nullptr);
    try {
        transport.open();
    } catch (const corvel::IOException&) {
        findings.fail(subject, describe(*facts) +
                                   "; this user may connect, but the daemon does not answer on this socket: "
                                   "vexa-daemon has stopped and left it behind, or is not serving it");
        return;
    }
    findings.ok(subject, describe(*facts) + "; this user may connect, and the daemon answers");
}

}  // namespace

bool checkSockets(Findings& findings, const pkcs11::LibrarySettings& settings)
{
    const std::string& dir = settings.sockdir;
    const auto facts = fileFacts(dir);
    if (!facts || !S_ISDIR(facts->info.st_mode)) {
        findings.fail("sockets", dir + (facts ? " is not a directory" : std::string(": ") + std::strerror(errno)) +
                                     ": is vexa-daemon -t unix running with -sd " + dir + "?");
        return true;
    }
    const std::string problem = accessProblem(dir, *facts, R_OK | X_OK);
    if (!problem.empty()) {
        findings.fail("sockets", dir + ": " + describe(*facts) + "; this user may not list it: " + problem);
        return true;
    }
    findings.ok("sockets", dir + ": " + describe(*facts) + "; this user may list it");
    CollectedLog log;
    std::set<std::string> taken;
    for (const pkcs11::SerialId serial : pkcs11::listSocketTokens(dir, log)) {
        taken.insert(pkcs11::socketPath(dir, serial));
    }
    reportSkipped(findings, dir, taken);
    if (taken.empty()) {
        findings.fail("sockets", "no vexa.<serial>.sock in " + dir +
                                     ": vexa-daemon is not running, serves no token, or uses another socket "
                                     "directory (-sd)");
    }
    for (const std::string& path : taken) {
        checkSocket(findings, path);
    }
    return true;
}

}  // namespace vexa::tool::doctor
