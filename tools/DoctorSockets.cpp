// The daemon's Unix sockets: listed by the library's own lister and reached
// with its own transport, and checked for what the library trusts: who can
// replace them, and who serves them.
#include <dirent.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <set>

#include "DirectoryTrust.h"
#include "Doctor.h"
#include "FileAccess.h"
#include "PeerCredentials.h"
#include "TokenListing.h"
#include "TokenNames.h"

namespace vexa::tool::doctor {
namespace {

constexpr const char* kSocketPrefix = "vexa.";

// The users the library trusts besides root and this user, as it is configured.
std::vector<uid_t> trustedUsers(const pkcs11::LibrarySettings& settings)
{
    return settings.trustedUsers ? *settings.trustedUsers : corvel::serviceUserIds();
}

std::string trustedText(const pkcs11::LibrarySettings& settings)
{
    std::string text = "root";
    if (::geteuid() != 0) {
        text += ", " + userName();
    }
    for (const uid_t uid : trustedUsers(settings)) {
        text += ", " + corvel::describeUser(uid);
    }
    return text;
}

// Directories that these users own or their groups may write are theirs to
// fill; so is a socket they serve.
corvel::DirectoryTrust directoryTrust(const pkcs11::LibrarySettings& settings)
{
    corvel::DirectoryTrust trust{{::geteuid()}, {::getegid()}};
    for (const uid_t uid : trustedUsers(settings)) {
        trust.owners.push_back(uid);
        if (const passwd* entry = ::getpwuid(uid)) {
            trust.writerGroups.push_back(entry->pw_gid);
        }
    }
    return trust;
}

std::string whyNotTaken(const std::string& dir, const dirent& entry)
{
    if (!corvel::isTokenSocketName(entry.d_name)) {
        return "the library takes only names vexa.<serial>.sock, with 12 upper-case hexadecimal digits";
    }
    const auto facts = fileFacts(dir + "/" + entry.d_name);
    const std::string what = entry.d_type == DT_LNK                  ? "a symbolic link"
                             : facts && S_ISREG(facts->info.st_mode) ? "a regular file"
                                                                     : "not a socket";
    return "it is " + what + "; the library takes only sockets that vexa-daemon made";
}

// Files in the socket directory that look meant for the library but that it
// does not take.
void reportSkipped(CFindings& findings, const std::string& dir, const std::set<std::string>& taken)
{
    std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(dir.c_str()), ::closedir);
    if (listing == nullptr) {
        return;
    }
    while (const dirent* entry = ::readdir(listing.get())) {
        const std::string path = dir + "/" + entry->d_name;
        if (std::strncmp(entry->d_name, kSocketPrefix, std::strlen(kSocketPrefix)) == 0 && taken.count(path) == 0) {
            findings.warn("sockets", path + ": the library does not take it: " + whyNotTaken(dir, *entry));
        }
    }
}

// A connection to the socket, closed when it goes; -1 when none is made.
class CConnection {
public:
    explicit CConnection(const std::string& path) : m_fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        if (m_fd >= 0 && ::connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~CConnection()
    {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    CConnection(const CConnection&) = delete;
    CConnection& operator=(const CConnection&) = delete;
    int fd() const { return m_fd; }

private:
    int m_fd;
};

std::string groupHint(const FileFacts& facts)
{
    return facts.info.st_gid == 0 ? "; the socket belongs to the group root, so vexa-daemon runs as root: run it as "
                                    "the service user vexa (vexad.service), whose sockets belong to the group vexa"
                                  : "";
}

void checkSocket(CFindings& findings, const std::string& path, const pkcs11::LibrarySettings& settings)
{
    const std::string subject = "socket " + path;
    const auto facts = fileFacts(path);
    if (!facts) {
        findings.fail(subject, std::strerror(errno));
        return;
    }
    const std::string problem = accessProblem(path, *facts, W_OK);
    if (!problem.empty()) {
        findings.fail(subject, describe(*facts) + "; this user may not connect: " + problem + groupHint(*facts));
        return;
    }
    const CConnection connection(path);
    if (connection.fd() < 0) {
        findings.fail(subject, describe(*facts) +
                                   "; this user may connect, but the daemon does not answer on this socket: "
                                   "vexa-daemon has stopped and left it behind, or is not serving it");
        return;
    }
    const auto peer = corvel::peerCredentials(connection.fd());
    if (!peer || !corvel::isTrustedPeer(peer->uid, trustedUsers(settings))) {
        findings.fail(subject, describe(*facts) + "; it is served by " +
                                   (peer ? corvel::describeUser(peer->uid) : std::string("an unknown user")) +
                                   ", not by " + trustedText(settings) +
                                   ": the library sends it nothing (someone may have put a socket of their own in "
                                   "the daemon's place; transport.trustedusers names further users to trust)");
        return;
    }
    findings.ok(subject, describe(*facts) + "; this user may connect, and the daemon answers as " +
                             corvel::describeUser(peer->uid));
}

}  // namespace

bool checkSockets(CFindings& findings, const pkcs11::LibrarySettings& settings)
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
    const std::string untrusted = corvel::directoryTrustProblem(dir, directoryTrust(settings));
    if (!untrusted.empty()) {
        findings.fail("sockets", untrusted + " (only " + trustedText(settings) +
                                     " may own or write the socket directory and those above it)");
    } else {
        findings.ok("sockets", dir + ": " + describe(*facts) + "; this user may list it");
    }
    CCollectedLog log;
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
        checkSocket(findings, path, settings);
    }
    return true;
}

}  // namespace vexa::tool::doctor
