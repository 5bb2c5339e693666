#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "CContext.h"
#include "Configuration.h"
#include "Exception.h"
#include "FakeDaemon.h"
#include "FakeTransport.h"
#include "RefusingPort.h"
#include "TempDir.h"
#include "TestCertificates.h"

using namespace vexa::pkcs11;

namespace {

class ConfigurationTest : public ::testing::Test {
protected:
    std::unique_ptr<CContext> load(const std::string& json)
    {
        std::ofstream(dir.file(kConfigFileName)) << json;
        return std::make_unique<CContext>(dir.path() + "/");
    }
    // "HID", "UNIX" or "TCP": the transport that the chosen kind creates.
    static std::string kindOf(CContext& context)
    {
        const auto transport = context.transportKind().factory(0, context);
        return transport != nullptr ? transport->getName() : "none";
    }
    // The level a context logs from: the lowest that passes its filter.
    static bool logsFrom(const CContext& context, int32_t level)
    {
        return context.isLevelEnabled(level) && !context.isLevelEnabled(level - 1);
    }
    // Whether a line that passes the filter shows on standard output.
    static bool logsToConsole(CContext& context)
    {
        testing::internal::CaptureStdout();
        context.logText(INT32_MAX, "console probe");
        return testing::internal::GetCapturedStdout().find("console probe") != std::string::npos;
    }
    std::string logText() const
    {
        std::ifstream file(dir.file("log"));
        return std::string(std::istreambuf_iterator<char>(file), {});
    }

    vexa::test::TempDir dir;
};

TEST_F(ConfigurationTest, NoFileKeepsEveryDefault)
{
    CContext context(dir.path() + "/");
    const LibrarySettings& s = context.settings();
    EXPECT_EQ(s.timeout, 12000u);
    EXPECT_EQ(s.keytimeout, 65000u);
    EXPECT_EQ(s.vid, 0x0483);
    EXPECT_EQ(s.pid, 0xA2AC);
    EXPECT_EQ(s.usagePage, 0);
    EXPECT_EQ(s.sockdir, "/var/run");
    EXPECT_TRUE(logsFrom(context, corvel::kLogError));
    EXPECT_FALSE(logsToConsole(context));
    EXPECT_FALSE(context.isLogFileOpen());
    EXPECT_FALSE(context.exchangeLock().lockFileInUse());
    EXPECT_EQ(kindOf(context), "HID");
}

TEST_F(ConfigurationTest, KeysOfEachTypeAndWrongTypesIgnored)
{
    struct Case {
        const char* json;
        std::function<void(CContext&)> check;
    };
    const Case cases[] = {
        {R"({"timeout": 3000, "keytimeout": 90000.7})",
         [](CContext& c) {
             EXPECT_EQ(c.settings().timeout, 3000u);
             EXPECT_EQ(c.settings().keytimeout, 90000u);
         }},
        {R"({"timeout": "3000", "keytimeout": true})",
         [](CContext& c) {
             EXPECT_EQ(c.settings().timeout, 12000u);
             EXPECT_EQ(c.settings().keytimeout, 65000u);
         }},
        {R"({"timeout": -1, "keytimeout": 1e30})",
         [](CContext& c) {
             EXPECT_EQ(c.settings().timeout, 12000u) << "out of range is ignored";
             EXPECT_EQ(c.settings().keytimeout, 65000u);
         }},
        {R"({"timeout": 0, "keytimeout": 0.5})",
         [](CContext& c) {
             EXPECT_EQ(c.settings().timeout, 12000u) << "0 is the default, never waiting for ever";
             EXPECT_EQ(c.settings().keytimeout, 65000u);
         }},
        {R"({"transport": {"vid": 4660, "pid": 22136.0, "usagePage": 65280}})",
         [](CContext& c) {
             EXPECT_EQ(c.settings().vid, 0x1234);
             EXPECT_EQ(c.settings().pid, 0x5678);
             EXPECT_EQ(c.settings().usagePage, 0xFF00);
             EXPECT_EQ(kindOf(c), "HID");
         }},
        {R"({"transport": {"vid": "x", "pid": 70000}})",
         [](CContext& c) {
             EXPECT_EQ(c.settings().vid, 0x0483);
             EXPECT_EQ(c.settings().pid, 0xA2AC);
         }},
        {R"({"transport": "unix", "logging": ["enabled"]})", [](CContext& c) { EXPECT_EQ(kindOf(c), "HID"); }},
        {R"({"logging": {"enabled": false, "loglevel": 10, "logconsole": true}})",
         [](CContext& c) {
             EXPECT_TRUE(logsFrom(c, kLogDisabled));
             EXPECT_FALSE(logsToConsole(c));
         }},
        {R"({"logging": {"loglevel": 30.9, "logconsole": true}})",
         [](CContext& c) {
             EXPECT_TRUE(logsFrom(c, corvel::kLogInfo));
             EXPECT_TRUE(logsToConsole(c));
         }},
        {R"({"transport": {"unix": true, "sockdir": "/tmp/socks"}})",
         [](CContext& c) {
             EXPECT_EQ(kindOf(c), "UNIX");
             EXPECT_EQ(c.settings().sockdir, "/tmp/socks");
         }},
        {R"({"transport": {"unix": false, "sockdir": "/tmp/socks"}})",
         [](CContext& c) {
             EXPECT_EQ(kindOf(c), "HID");
             EXPECT_EQ(c.settings().sockdir, "/var/run");
         }},
        {R"({"transport": {"unix": true, "address": "daemon.test", "port": 4443, "cacertbundle": "/ca.pem"}})",
         [](CContext& c) {
             EXPECT_EQ(kindOf(c), "TCP") << "TLS wins over unix";
             EXPECT_EQ(c.transportKind().factory(1, c), nullptr);
             EXPECT_EQ(c.transportKind().lister(c), std::vector<SerialId>{0});
         }},
        {R"({"transport": {"address": "daemon.test", "port": "4443", "cacertbundle": "/ca.pem"}})",
         [](CContext& c) { EXPECT_EQ(kindOf(c), "HID"); }},
        {R"({"timeout": 5, "transport": {"address": "daemon.test", "port": 4443}, "keytimeout": 6})",
         [](CContext& c) {
             EXPECT_EQ(kindOf(c), "HID") << "an address without a CA bundle is not used";
             EXPECT_EQ(c.settings().timeout, 12000u) << "keys after the error are not applied";
         }},
        {R"({"timeout": 5, )", [](CContext& c) { EXPECT_EQ(c.settings().timeout, 12000u); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.json);
        const auto context = load(c.json);
        c.check(*context);
    }
}

TEST_F(ConfigurationTest, ClientCertificateGoesToTheTlsTransportOnlyWithItsKey)
{
    const std::string tls = R"("address": "daemon.test", "port": 4443, "cacertbundle": "/ca.pem")";
    const struct {
        std::string transport;
        std::string cert;
        std::string key;
    } cases[] = {
        {tls + R"(, "clientcert": "/alice.crt", "clientkey": "/alice.key")", "/alice.crt", "/alice.key"},
        {tls, "", ""},
        {tls + R"(, "clientcert": "/alice.crt")", "", ""},
        {tls + R"(, "clientkey": "/alice.key")", "", ""},
        {tls + R"(, "clientcert": "/alice.crt", "clientkey": "")", "", ""},
        {tls + R"(, "clientcert": 7, "clientkey": "/alice.key")", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.transport);
        const auto context = load(R"({"transport": {)" + c.transport + "}}");
        EXPECT_EQ(kindOf(*context), "TCP");
        const corvel::TlsClientOptions options = tlsClientOptions(context->settings());
        EXPECT_EQ(options.certFile, c.cert);
        EXPECT_EQ(options.keyFile, c.key);
        EXPECT_EQ(options.caFile, "/ca.pem");
    }
}

struct Expected {
    std::string key;
    std::string problem;  // a part of the diagnostic's problem
    std::string effect;   // a part of its effect
};

std::string describe(const std::vector<ConfigDiagnostic>& diagnostics)
{
    std::string text;
    for (const ConfigDiagnostic& d : diagnostics) {
        text += "  [" + d.key + "] " + d.problem + "; " + d.effect + "\n";
    }
    return text;
}

// Every key that the library ignores, or that quietly changes what it does,
// is reported with what the library does instead; a file without such keys
// gives no diagnostic at all.
TEST_F(ConfigurationTest, DiagnosticsNameEachIgnoredKeyAndItsEffect)
{
    const std::string missing = dir.file("missing");
    const struct {
        std::string json;
        std::vector<Expected> expected;
    } cases[] = {
        {R"({"transport": {"unix": true, "sockdir": "/run/vexa"}, "logging": {"loglevel": 40, "logfile": ")" +
             dir.file("log") + R"("}, "timeout": 3000, "lockfile": ")" + dir.file("x.lock") + R"("})",
         {}},
        {R"({"timeout": 5, )", {{"", "is not JSON (parse error", "the whole file is ignored"}}},
        {"", {{"", "is not JSON", "the whole file is ignored"}}},
        {"[1, 2]", {{"", "is an array, not a JSON object", "the whole file is ignored"}}},
        {R"({"timeout": "3000", "keytimeout": -1})",
         {{"timeout", "is a string, not a number", "ignored, 12000 applies"},
          {"keytimeout", "-1 is out of range (0 to 4294967295)", "ignored, 65000 applies"}}},
        {R"({"timeout": 0, "keytimeout": 0})",
         {{"timeout", "is 0", "the default, 12000 ms, applies"},
          {"keytimeout", "is 0", "the default, 65000 ms, applies"}}},
        {R"({"transport": {"pid": 70000, "vid": true}})",
         {{"transport.vid", "is a boolean, not a number", "ignored, 1155 applies"},
          {"transport.pid", "70000 is out of range (0 to 65535)", "ignored, 41644 applies"}}},
        {R"({"transport": {"unix": true, "socketdir": "/run/vexa"}, "logfile": "x"})",
         {{"logfile", "is not a key the library knows", "ignored"},
          {"transport.socketdir", "is not a key the library knows", "ignored"}}},
        {R"({"transport": {"sockdir": "/run/vexa"}})",
         {{"transport.sockdir", "is read only when transport.unix is true", "ignored"}}},
        {R"({"transport": {"address": "daemon.test", "port": 4443, "clientcert": "/c"}, "timeout": 5})",
         {{"transport.cacertbundle", "is missing",
           "reading stops here: TLS is not used, tokens are reached over USB HID"},
          {"transport.clientcert", "is not read", "ignored"},
          {"timeout", "is not read: reading stopped at transport.cacertbundle", "ignored"}}},
        {R"({"transport": {"unix": true, "address": "daemon.test", "port": "4443", "cacertbundle": "/ca"}})",
         {{"transport.port", "is a string, not a number", "ignored"},
          {"transport.address", "is set without a usable transport.port", "over the daemon's Unix sockets"},
          {"transport.cacertbundle", "is used only with transport.address and transport.port", "ignored"}}},
        {R"({"transport": {"unix": true, "address": "daemon.test", "port": 4443, "cacertbundle": "/ca"}})",
         {{"transport.unix", "choose TLS, which wins", "ignored"}}},
        {R"({"transport": {"address": "daemon.test", "port": 4443, "cacertbundle": "/ca", "clientkey": "/k"}})",
         {{"transport.clientkey", "is set without transport.clientcert", "no client certificate is presented"}}},
        {R"({"logging": {"enabled": false, "loglevel": 10, "logconsole": true}})",
         {{"logging.loglevel", "logging.enabled is false", "ignored"},
          {"logging.logconsole", "logging.enabled is false", "ignored"}}},
        {R"({"logging": "on"})", {{"logging", "is a string, not an object", "nothing is logged"}}},
        {R"({"logging": {"logconsole": "yes"}})",
         {{"logging.logconsole", "is a string, not true or false", "ignored, false applies"}}},
        {R"({"logging": {"logfile": ")" + missing + R"(/vexa.log"}})",
         {{"logging.logfile", "the folder " + missing + " does not exist", "no log file"}}},
        {R"({"lockfile": ")" + missing + R"(/vexa.lock"})",
         {{"lockfile", "the folder " + missing + " does not exist", "no lock file"}}},
        {R"({"lockfile": ""})", {{"lockfile", "is empty", "no lock file"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        std::istringstream in(c.json);
        const ConfigReading reading = readConfiguration(in);
        ASSERT_EQ(reading.diagnostics.size(), c.expected.size()) << describe(reading.diagnostics);
        for (size_t i = 0; i < c.expected.size(); ++i) {
            const ConfigDiagnostic& d = reading.diagnostics[i];
            const Expected& e = c.expected[i];
            EXPECT_EQ(d.key, e.key) << describe(reading.diagnostics);
            EXPECT_NE(d.problem.find(e.problem), std::string::npos) << describe(reading.diagnostics);
            EXPECT_NE(d.effect.find(e.effect), std::string::npos) << describe(reading.diagnostics);
        }
    }
}

// Once its logging is set up, the library logs what the reading found.
TEST_F(ConfigurationTest, DiagnosticsGoToTheLogAsWarnings)
{
    const auto context = load(R"({"logging": {"loglevel": 40, "logfile": ")" + dir.file("log") +
                              R"("}, "transport": {"unix": true, "sockdir": 7}, "timeout": 1e12})");
    const std::string text = logText();
    EXPECT_NE(text.find(" WARN : transport.sockdir: is a number, not a string; ignored\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" WARN : timeout: 1000000000000.0 is out of range (0 to 4294967295); ignored, 12000 applies\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(kindOf(*context), "UNIX");
    EXPECT_EQ(context->settings().sockdir, "/var/run");
}

// The transport shows what it was given in the lines it logs on the way to
// the daemon: the CA bundle it reads, then the address and port it connects
// to (a port held but not listening refuses at once).
TEST_F(ConfigurationTest, TlsTransportGetsAddressPortAndBundle)
{
    vexa::test::TempDir certDir;
    const auto certs = vexa::test::makeTestCertificates(certDir.path());
    vexa::test::RefusingPort refusing;
    const std::string port = std::to_string(refusing.port());
    for (const std::string& bundle : {certs.caCert, dir.file("no-such-ca.pem")}) {
        const auto context = load(R"({"logging": {"loglevel": 10, "logfile": ")" + dir.file("log") +
                                  R"("}, "transport": {"address": "127.0.0.1", "port": )" + port +
                                  R"(, "cacertbundle": ")" + bundle + R"("}})");
        const auto transport = context->transportKind().factory(0, *context);
        ASSERT_NE(transport, nullptr);
        EXPECT_STREQ(transport->getName(), "TCP");
        EXPECT_THROW(transport->open(), corvel::IOException);
    }
    refusing.release();
    const std::string text = logText();
    EXPECT_NE(text.find(" INFO : Connecting to 127.0.0.1:" + port + "...\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" ERROR : Failed to open ca cert file " + dir.file("no-such-ca.pem") + ".\n"),
              std::string::npos)
        << text;
}

// How a test or a fuzzer puts tokens of its own behind the library: the
// transport kind given wins over the one the file names.
TEST_F(ConfigurationTest, GivenTransportKindWinsOverTheFile)
{
    std::ofstream(dir.file(kConfigFileName)) << R"({"transport": {"unix": true}, "timeout": 3000})";
    const auto token = std::make_shared<vexa::test::FakeToken>();
    CContext context(dir.path() + "/", vexa::test::fakeTransportKind({token}));
    ASSERT_EQ(context.C_Initialize(nullptr), CKR_OK);
    EXPECT_EQ(token->requests.size(), 1u) << "the token's clock was set through the given kind";
    EXPECT_EQ(token->timeout, 3000u) << "the rest of the file still applies";
    EXPECT_EQ(context.C_Finalize(nullptr), CKR_OK);
}

TEST_F(ConfigurationTest, FailureIsLoggedAfterTheLoggingKeys)
{
    const std::string json = R"({"logging": {"loglevel": 20, "logfile": ")" + dir.file("log") +
                             R"("}, "transport": {"address": "daemon.test", "port": 4443, "cacertbundle": 7}})";
    const auto context = load(json);
    EXPECT_TRUE(context->isLogFileOpen());
    const std::string text = logText();
    EXPECT_NE(text.find(" WARN : Failed to parse config\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" DEBUG : New Instance\n"), std::string::npos) << text;
    EXPECT_EQ(kindOf(*context), "HID");
}

TEST_F(ConfigurationTest, LockFileIsCreatedWhenMissing)
{
    const std::string path = dir.file("exchange.lock");
    const auto context = load(R"({"lockfile": ")" + path + R"("})");
    EXPECT_TRUE(context->exchangeLock().lockFileInUse());
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 0);
}

TEST_F(ConfigurationTest, UncreatableLockFileEndsTheConfiguration)
{
    const auto context = load(R"({"timeout": 5, "lockfile": ")" + dir.file("missing/exchange.lock") + R"("})");
    EXPECT_FALSE(context->exchangeLock().lockFileInUse());
    EXPECT_EQ(context->settings().timeout, 5u) << "settings before the error stay";
}

TEST_F(ConfigurationTest, LookupPrefersWorkingDirectoryThenHomeThenSystem)
{
    vexa::test::TempDir work;
    vexa::test::TempDir home;
    ASSERT_EQ(::mkdir((home.path() + "/.vexa").c_str(), 0700), 0);
    const std::string previous = std::filesystem::current_path();
    ASSERT_EQ(::chdir(work.path().c_str()), 0);

    EXPECT_EQ(findConfigDir(kConfigFileName, home.path()), "/usr/local/etc/vexa/");
    std::ofstream(home.path() + "/.vexa/" + kConfigFileName) << "{}";
    EXPECT_EQ(findConfigDir(kConfigFileName, home.path()), home.path() + "/.vexa/");
    std::ofstream(work.file(kConfigFileName)) << "{}";
    EXPECT_EQ(findConfigDir(kConfigFileName, home.path()), std::filesystem::current_path().string() + "/");

    ASSERT_EQ(::chdir(previous.c_str()), 0);
}

void makeSocket(const std::string& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << path;
    ::close(fd);
}

// Only the names the daemon gives its sockets, which are those the factory
// builds again from the serial: a listed token is one the library can reach.
// Slots follow the serials, as over HID, whatever the directory's order.
TEST_F(ConfigurationTest, UnixListerTakesTheDaemonsSocketsOnly)
{
    vexa::test::TempDir sockets;
    makeSocket(sockets.file("vexa.F00000000001.sock"));
    makeSocket(sockets.file("vexa.0123456789AB.sock"));
    makeSocket(sockets.file("vexa.A00000000001.sock"));
    makeSocket(sockets.file("vexa.abcdef000001.sock"));
    makeSocket(sockets.file("vexa.0123.sock"));
    makeSocket(sockets.file("other.0123456789CD.sock"));
    makeSocket(sockets.file("vexa.XYZ456789ABC.sock"));
    makeSocket(sockets.file("vexa.0123456789ABC.sock"));
    makeSocket(sockets.file("vexa.0123456789AC.sock.old"));
    makeSocket(sockets.file("vexa.0123456789AD"));
    std::ofstream(sockets.file("vexa.00000000000F.sock")) << "a regular file";
    ASSERT_EQ(::symlink(sockets.file("vexa.0123456789AB.sock").c_str(), sockets.file("vexa.0000000000EE.sock").c_str()),
              0);

    const auto context = load(R"({"transport": {"unix": true, "sockdir": ")" + sockets.path() + R"("}})");
    std::vector<std::string> listed;
    for (const SerialId serial : context->transportKind().lister(*context)) {
        listed.push_back(serialIdToText(serial));
    }
    EXPECT_EQ(listed, (std::vector<std::string>{"0123456789AB", "A00000000001", "F00000000001"}));

    // A token's transport goes to the socket named by its serial in capitals,
    // which is where the daemon listens.
    vexa::test::FakeUnixDaemon daemon(sockets.file("vexa.ABCDEF000001.sock"), vexa::test::reverseReply);
    const auto transport = context->transportKind().factory(*serialIdFromText("ABCDEF000001"), *context);
    ASSERT_NE(transport, nullptr);
    EXPECT_STREQ(transport->getName(), "UNIX");
    EXPECT_NO_THROW(transport->open());
}

}  // namespace
