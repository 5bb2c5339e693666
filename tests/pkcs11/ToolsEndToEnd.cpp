#include "ToolsEndToEnd.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace vexa::test {
namespace {

const std::string kSerial = "0123456789AB";
const std::string kSoftHsmModule = "/usr/lib/softhsm/libsofthsm2.so";

std::vector<std::string> inDirectory(const std::string& dir, const std::vector<std::string>& argv)
{
    std::vector<std::string> command{"env", "-C", dir};
    command.insert(command.end(), argv.begin(), argv.end());
    return command;
}

std::vector<std::string> withArgs(std::vector<std::string> front, const std::vector<std::string>& args)
{
    front.insert(front.end(), args.begin(), args.end());
    return front;
}

std::vector<std::string> asUser(const std::vector<std::string>& args)
{
    return withArgs({"--login", "--pin", kUserPin}, args);
}

// A program that is not instrumented must load the sanitizer runtime before
// our library; the leaks of such a program are not ours to report.
Environment thirdPartyEnvironment(const std::string& otherPreload)
{
    const std::string sanitizer = sanitizerPreload();
    if (sanitizer.empty()) {
        return {};
    }
    const std::string preload = otherPreload.empty() ? sanitizer : otherPreload + ":" + sanitizer;
    return {{"LD_PRELOAD", preload}, {"ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=0"}};
}

}  // namespace

std::string transportName(LibraryTransport transport)
{
    switch (transport) {
    case LibraryTransport::Hid:
        return "Hid";
    case LibraryTransport::Unix:
        return "Unix";
    case LibraryTransport::Tls:
        return "Tls";
    }
    return "Unknown";
}

void PrintTo(LibraryTransport transport, std::ostream* out) { *out << transportName(transport); }

ToolsDeployment::ToolsDeployment(LibraryTransport transport, ClientAuthentication clients)
    : ToolsDeployment(transport, DeploymentOptions{{}, {}, {}, {}, clients})
{}

ToolsDeployment::ToolsDeployment(LibraryTransport transport, const DeploymentOptions& options)
    : m_transport(transport), m_moreConfig(options.libraryConfig.empty() ? "" : ", " + options.libraryConfig)
{
    std::vector<std::string> token{"--token", kSerial + options.tokenOptions};
    token.insert(token.end(), options.simulatorArgs.begin(), options.simulatorArgs.end());
    switch (transport) {
    case LibraryTransport::Hid:
        m_simulator = std::make_unique<TokenSimulator>(token);
        if (!options.libraryConfig.empty()) {
            writeFile(file("vexaconfig.json"), "{" + options.libraryConfig + "}");
        }
        break;
    case LibraryTransport::Unix:
        m_sockets = std::make_unique<TempDir>("vexa-sockets");
        m_daemon = RealDaemon::unix(token, m_sockets->path(), 1, options.daemonArgs);
        writeFile(file("vexaconfig.json"),
                  R"({"transport": {"unix": true, "sockdir": ")" + m_sockets->path() + R"("})" + m_moreConfig + "}");
        break;
    case LibraryTransport::Tls: {
        const TestCertificates certs = makeTestCertificates(m_work.path());
        std::vector<std::string> daemonArgs = options.daemonArgs;
        if (options.clients == ClientAuthentication::Required) {
            m_clients = std::make_unique<ClientCertificates>(makeClientCertificates(m_work.path()));
            daemonArgs.insert(daemonArgs.end(), {"-cca", m_clients->caCert});
        }
        m_caCert = certs.caCert;
        m_daemon = RealDaemon::tls(token, certs.serverCert, certs.serverKey, certs.caCert, daemonArgs);
        configureTls();
        break;
    }
    }
}

ToolsDeployment::~ToolsDeployment() = default;

Environment ToolsDeployment::environment(bool thirdParty) const
{
    if (m_simulator) {
        // Of two entries with one name a program would see only the first:
        // the third-party settings replace the simulator's.
        const Environment extra =
            thirdParty ? thirdPartyEnvironment(m_simulator->variable("LD_PRELOAD")) : Environment{};
        Environment env;
        for (const auto& entry : m_simulator->environment()) {
            const bool replaced = std::any_of(extra.begin(), extra.end(),
                                              [&](const auto& change) { return change.first == entry.first; });
            if (!replaced) {
                env.push_back(entry);
            }
        }
        env.insert(env.end(), extra.begin(), extra.end());
        return env;
    }
    Environment extra = thirdParty ? thirdPartyEnvironment("") : Environment{};
    if (extra.empty()) {
        extra.emplace_back("LD_PRELOAD", "");
    }
    return extra;
}

RunResult ToolsDeployment::run(const std::vector<std::string>& argv, bool thirdParty)
{
    return runProgram(inDirectory(m_work.path(), argv), environment(thirdParty));
}

std::unique_ptr<InteractiveProcess> ToolsDeployment::startOurs(const std::vector<std::string>& argv)
{
    return std::make_unique<InteractiveProcess>(inDirectory(m_work.path(), argv), environment(false));
}

std::unique_ptr<InteractiveProcess> ToolsDeployment::startThirdParty(const std::vector<std::string>& argv)
{
    return std::make_unique<InteractiveProcess>(inDirectory(m_work.path(), argv), environment(true));
}

TokenSimulator& ToolsDeployment::simulator() { return m_simulator ? *m_simulator : m_daemon->simulator(); }

const std::string& ToolsDeployment::serial() const { return kSerial; }

RunResult ToolsDeployment::runOurs(const std::vector<std::string>& argv) { return run(argv, false); }

RunResult ToolsDeployment::runThirdParty(const std::vector<std::string>& argv) { return run(argv, true); }

RunResult ToolsDeployment::pkcs11Tool(const std::vector<std::string>& args)
{
    return runThirdParty(withArgs({"pkcs11-tool", "--module", VEXA_PKCS11_MODULE}, args));
}

RunResult ToolsDeployment::pkcs11ToolAsUser(const std::vector<std::string>& args) { return pkcs11Tool(asUser(args)); }

RunResult ToolsDeployment::p11tool(const std::vector<std::string>& args)
{
    return runThirdParty(withArgs({"p11tool", "--provider", VEXA_PKCS11_MODULE}, args));
}

std::string ToolsDeployment::socketPath() const
{
    return m_sockets ? m_sockets->file("vexa." + kSerial + ".sock") : std::string();
}

int ToolsDeployment::tlsPort() const { return m_transport == LibraryTransport::Tls ? m_daemon->port() : 0; }

std::string ToolsDeployment::daemonOutput() const { return m_daemon ? m_daemon->output() : std::string(); }

void ToolsDeployment::configureTls(const std::string& clientCert, const std::string& clientKey)
{
    std::string client;
    if (!clientCert.empty() || !clientKey.empty()) {
        client = R"(, "clientcert": ")" + clientCert + R"(", "clientkey": ")" + clientKey + R"(")";
    }
    writeFile(file("vexaconfig.json"), R"({"transport": {"address": "localhost", "port": )" +
                                           std::to_string(m_daemon->port()) + R"(, "cacertbundle": ")" + m_caCert +
                                           R"(")" + client + "}" + m_moreConfig + "}");
}

SoftHsmReference::SoftHsmReference()
{
    writeFile(file("softhsm2.conf"),
              "directories.tokendir = " + file("tokens") + "\nobjectstore.backend = file\nlog.level = ERROR\n");
    std::filesystem::create_directory(file("tokens"));
    const RunResult initialised = runProgram(
        {"softhsm2-util", "--init-token", "--free", "--label", "reference", "--so-pin", "12345678", "--pin", kUserPin},
        {{"SOFTHSM2_CONF", file("softhsm2.conf")}, {"LD_PRELOAD", ""}});
    if (initialised.status != 0) {
        throw std::runtime_error("cannot make a SoftHSM2 token: " + initialised.output);
    }
}

RunResult SoftHsmReference::pkcs11Tool(const std::vector<std::string>& args)
{
    return runProgram(inDirectory(m_dir.path(), withArgs({"pkcs11-tool", "--module", kSoftHsmModule}, args)),
                      {{"SOFTHSM2_CONF", file("softhsm2.conf")}, {"LD_PRELOAD", ""}});
}

RunResult SoftHsmReference::pkcs11ToolAsUser(const std::vector<std::string>& args) { return pkcs11Tool(asUser(args)); }

RunResult runIn(const std::string& dir, const std::vector<std::string>& argv)
{
    return runProgram(inDirectory(dir, argv), {{"LD_PRELOAD", ""}});
}

std::string readFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

void writeFile(const std::string& path, const std::string& content)
{
    std::ofstream file(path, std::ios::binary);
    file << content;
    if (!file) {
        throw std::runtime_error("cannot write " + path);
    }
}

}  // namespace vexa::test
