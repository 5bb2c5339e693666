// vexa-tool doctor against simulated tokens behind the real daemon: what it
// finds when all is well, and the faults that users meet.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <sstream>

#include "FakeDaemon.h"
#include "OtherUser.h"
#include "RealDaemon.h"
#include "ToolRun.h"

namespace vexa::test {
namespace {

const std::string kFirst = "0000000000A1";
const std::string kSecond = "0000000000B2";

// A line that begins with the verdict and holds every part.
bool hasFinding(const std::string& output, const std::string& verdict, const std::vector<std::string>& parts)
{
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        bool all = line.rfind(verdict + " ", 0) == 0;
        for (const std::string& part : parts) {
            all = all && line.find(part) != std::string::npos;
        }
        if (all) {
            return true;
        }
    }
    return false;
}

class ToolDoctor : public ::testing::Test {
protected:
    // Two tokens served on Unix sockets; the library configured for them in
    // the doctor's working directory.
    void serveTwoTokens()
    {
        m_daemon = RealDaemon::unix({"--token", kFirst, "--token", kSecond}, m_sockets.path(), 2);
        writeFile(config(), R"({"transport": {"unix": true, "sockdir": ")" + m_sockets.path() + R"("}})");
    }
    // `as` is put before the program: a command that changes the user.
    RunResult doctor(const std::vector<std::string>& as = {}, const std::string& cwd = "")
    {
        std::vector<std::string> argv = as;
        argv.insert(argv.end(), {"env", "-C", cwd.empty() ? m_work.path() : cwd, VEXA_TOOL, "doctor"});
        return runProgram(argv, {{"LD_PRELOAD", ""}});
    }
    std::string config() const { return m_work.file("vexaconfig.json"); }
    std::string socket(const std::string& serial) const { return m_sockets.file("vexa." + serial + ".sock"); }

    TempDir m_work{"vexa-doctor"};
    TempDir m_sockets{"vexa-sockets"};
    std::unique_ptr<RealDaemon> m_daemon;
};

TEST_F(ToolDoctor, NamesTheConfigurationTheSocketsAndBothTokens)
{
    serveTwoTokens();
    const RunResult r = doctor();
    EXPECT_EQ(r.status, 0) << r.output << m_daemon->output();
    EXPECT_TRUE(hasFinding(r.output, "OK", {"config: " + config()})) << r.output;
    EXPECT_TRUE(hasFinding(r.output, "OK", {"settings: tokens over the daemon's Unix sockets in " + m_sockets.path()}))
        << r.output;
    EXPECT_TRUE(hasFinding(r.output, "OK", {"sockets: " + m_sockets.path(), "this user may list it"})) << r.output;
    for (const std::string& serial : {kFirst, kSecond}) {
        EXPECT_TRUE(hasFinding(r.output, "OK", {"socket " + socket(serial), "the daemon answers"})) << r.output;
        EXPECT_TRUE(hasFinding(r.output, "OK", {"token " + serial + ": slot ", "model Vexa"})) << r.output;
    }
    EXPECT_FALSE(hasFinding(r.output, "FAIL", {})) << r.output;
}

// Killed, the daemon leaves its socket files behind: they are listed, but
// nobody answers on them.
TEST_F(ToolDoctor, StoppedDaemonFailsOnItsSockets)
{
    serveTwoTokens();
    m_daemon.reset();
    const RunResult r = doctor();
    EXPECT_EQ(r.status, 1) << r.output;
    for (const std::string& serial : {kFirst, kSecond}) {
        EXPECT_TRUE(hasFinding(r.output, "FAIL", {"socket " + socket(serial), "the daemon does not answer"}))
            << r.output;
    }
    EXPECT_NE(r.output.find("vexa-tool: no token reached"), std::string::npos) << r.output;
}

TEST_F(ToolDoctor, ConfigurationThatIsNotJsonIsReportedAsIgnored)
{
    serveTwoTokens();
    writeFile(config(), R"({"transport": {"unix": true, "sockdir": ")" + m_sockets.path() + R"(",}})");
    const RunResult r = doctor();
    EXPECT_TRUE(hasFinding(r.output, "WARN", {config() + ": is not JSON", "the whole file is ignored"})) << r.output;
    EXPECT_TRUE(hasFinding(r.output, "OK", {"settings: tokens over USB HID"})) << r.output;
    EXPECT_FALSE(hasFinding(r.output, "OK", {"token " + kFirst})) << r.output;
}

// The daemon's sockets admit its group only (mode 0660): another user is
// told which group it lacks. Needs root to run as another user.
TEST_F(ToolDoctor, UserOutsideTheSocketsGroupIsToldWhy)
{
    if (::geteuid() != 0) {
        GTEST_SKIP() << "runs the doctor as the user nobody, which needs root";
    }
    serveTwoTokens();
    ASSERT_EQ(::chmod(m_work.path().c_str(), 0755), 0);
    ASSERT_EQ(::chmod(m_sockets.path().c_str(), 0755), 0);
    const RunResult r = doctor({"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"});
    EXPECT_EQ(r.status, 1) << r.output;
    for (const std::string& serial : {kFirst, kSecond}) {
        EXPECT_TRUE(
            hasFinding(r.output, "FAIL",
                       {"socket " + socket(serial), "srw-rw---- root:root; this user may not connect",
                        "nobody is not in that group", "so vexa-daemon runs as root: run it as the service user vexa"}))
            << r.output;
    }
    // Joining the group root would give far more than the tokens.
    EXPECT_EQ(r.output.find("usermod -aG root"), std::string::npos) << r.output;
}

// Someone who may write to the socket directory listens in the daemon's
// place: the library sends nothing there, and the doctor names the user.
TEST_F(ToolDoctor, SocketServedByAnotherUserFails)
{
    const std::optional<uid_t> other = otherUser();
    if (!other) {
        GTEST_SKIP() << kNeedsRoot;
    }
    writeFile(config(), R"({"transport": {"unix": true, "sockdir": ")" + m_sockets.path() + R"("}})");
    ASSERT_EQ(::chmod(m_sockets.path().c_str(), 0777), 0);
    FakeUnixDaemon stranger(socket(kFirst), reverseReply, listenAsUser(socket(kFirst), *other));
    ASSERT_EQ(::chmod(m_sockets.path().c_str(), 0700), 0);
    const RunResult r = doctor();
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_TRUE(
        hasFinding(r.output, "FAIL",
                   {"socket " + socket(kFirst), "it is served by uid " + std::to_string(*other) + ", not by root",
                    "the library sends it nothing"}))
        << r.output;
    EXPECT_EQ(stranger.log().packets().size(), 0u);
}

// A socket directory that another user owns (one made in /tmp by whoever came
// first, say) is theirs to fill, even while the daemon's sockets are in it.
TEST_F(ToolDoctor, SocketDirectoryOfAnotherUserFails)
{
    const std::optional<uid_t> other = otherUser();
    if (!other) {
        GTEST_SKIP() << kNeedsRoot;
    }
    serveTwoTokens();
    ASSERT_EQ(::chown(m_sockets.path().c_str(), *other, *other), 0);
    const RunResult r = doctor();
    EXPECT_TRUE(hasFinding(r.output, "FAIL",
                           {"sockets: " + m_sockets.path() + " belongs to uid " + std::to_string(*other),
                            "who could replace the sockets in it", "only root"}))
        << r.output;
}

// What lies in the socket directory under a token's name but is not the
// daemon's socket is named for what it is.
TEST_F(ToolDoctor, LinkUnderASocketsNameIsCalledALink)
{
    serveTwoTokens();
    const std::string link = m_sockets.file("vexa.0000000000C3.sock");
    ASSERT_EQ(::symlink(socket(kFirst).c_str(), link.c_str()), 0);
    const RunResult r = doctor();
    EXPECT_TRUE(hasFinding(r.output, "WARN",
                           {"sockets: " + link,
                            "it is a symbolic link; the library takes only sockets that "
                            "vexa-daemon made"}))
        << r.output;
    EXPECT_EQ(r.output.find("not named"), std::string::npos) << r.output;
}

// From / the search path begins with /, not //.
TEST_F(ToolDoctor, SearchPathFromTheRootDirectory)
{
    const RunResult r = doctor({}, "/");
    EXPECT_NE(r.output.find("in /, "), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("//"), std::string::npos) << r.output;
}

// Keys that the library ignores, and a file that only programs started in its
// folder read, are warned about while the tokens are still reached.
TEST_F(ToolDoctor, IgnoredKeysAreWarnedAbout)
{
    serveTwoTokens();
    writeFile(config(), R"({"transport": {"unix": true, "sockdir": ")" + m_sockets.path() +
                            R"(", "socketdir": "/run/vexa"}, "timeout": "9000", "lockfile": ")" +
                            m_work.file("missing/vexa.lock") + R"("})");
    const RunResult r = doctor();
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(hasFinding(r.output, "WARN", {"transport.socketdir: is not a key the library knows; ignored"}))
        << r.output;
    EXPECT_TRUE(hasFinding(r.output, "WARN", {"timeout: is a string, not a number; ignored, 12000 applies"}))
        << r.output;
    EXPECT_TRUE(hasFinding(r.output, "WARN", {"lockfile: the folder " + m_work.file("missing") + " does not exist"}))
        << r.output;
    EXPECT_TRUE(hasFinding(r.output, "WARN", {"config: only programs started in " + m_work.path()})) << r.output;
}

// Over TLS to a daemon that requires client certificates (-cca): each fault
// is named where it lies, and with all well the token is reached.
TEST(ToolDoctorTls, ChecksTheAddressThePortAndBothCertificates)
{
    ToolsDeployment tls(LibraryTransport::Tls, ClientAuthentication::Required);
    const ClientCertificates& certs = tls.clientCertificates();
    const auto withAddress = [&](const std::string& address) {
        std::string config = readFile(tls.file("vexaconfig.json"));
        config.replace(config.find("localhost"), 9, address);
        writeFile(tls.file("vexaconfig.json"), config);
    };
    const struct {
        const char* what;
        std::function<void()> configure;
        int status;
        std::vector<std::pair<std::string, std::vector<std::string>>> findings;
    } cases[] = {
        {"no client certificate",
         [&] { tls.configureTls(); },
         1,
         {{"OK", {"tls: the address localhost resolves to "}},
          {"OK", {"tls: port ", " on localhost (", ") accepts connections"}},
          {"FAIL", {"tls: no TLS connection: ", "set transport.clientcert and transport.clientkey"}}}},
        {"an encrypted key without its password",
         [&] { tls.configureTls(certs.cert, certs.encryptedKey); },
         1,
         {{"FAIL",
           {"tls: Failed to load client key " + certs.encryptedKey, "VEXA_CLIENT_KEY_PASS",
            "the library fails every connection"}}}},
        {"an address that the daemon's certificate does not name",
         [&] {
             tls.configureTls(certs.cert, certs.key);
             withAddress("127.0.0.1");
         },
         1,
         {{"OK", {"tls: client certificate " + certs.cert + " loads with its key " + certs.key}},
          {"OK", {"tls: the daemon's certificate chains to the CA bundle "}},
          {"FAIL", {"tls: the daemon's certificate does not name 127.0.0.1"}}}},
        {"all well",
         [&] { tls.configureTls(certs.cert, certs.key); },
         0,
         {{"OK", {"tls: the daemon's certificate chains to the CA bundle "}},
          {"OK", {"tls: the daemon's certificate names localhost"}},
          {"OK", {"token 0123456789AB: slot 0, model Vexa"}}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        c.configure();
        const RunResult r = runTool(tls, {"doctor"});
        EXPECT_EQ(r.status, c.status) << r.output << tls.daemonOutput();
        for (const auto& [verdict, parts] : c.findings) {
            EXPECT_TRUE(hasFinding(r.output, verdict, parts)) << verdict << " " << parts[0] << " in\n" << r.output;
        }
    }
}

}  // namespace
}  // namespace vexa::test
