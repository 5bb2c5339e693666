// vexa-tool doctor: the checks in the order a support engineer makes them,
// from the configuration file to the tokens.
#include <iomanip>

#include "Command.h"
#include "Doctor.h"
#include "Errors.h"

namespace vexa::tool {
namespace doctor {

void CFindings::add(const char* verdict, const std::string& subject, const std::string& text)
{
    m_out << std::left << std::setw(6) << verdict << subject << ": " << text << "\n";
    m_out.flush();
}

std::string CCollectedLog::text() const
{
    std::string joined;
    for (const std::string& line : m_lines) {
        joined += (joined.empty() ? "" : "; ") + line;
    }
    return joined;
}

}  // namespace doctor

namespace {

// The way to the tokens that the configuration chose.
bool checkTransport(doctor::CFindings& findings, const pkcs11::LibraryConfiguration& configuration)
{
    switch (configuration.transport) {
    case pkcs11::TransportChoice::Unix:
        return doctor::checkSockets(findings, configuration.settings);
    case pkcs11::TransportChoice::Tls:
        return doctor::checkTls(findings, configuration.settings);
    case pkcs11::TransportChoice::Hid:
        break;
    }
    return doctor::checkHid(findings, configuration.settings);
}

void runDoctor(const Invocation& call)
{
    doctor::CFindings findings(call.out);
    const pkcs11::LibraryConfiguration configuration = doctor::checkConfiguration(findings);
    size_t reached = 0;
    if (checkTransport(findings, configuration)) {
        reached = doctor::checkTokens(findings);
    } else {
        findings.fail("tokens", "the library was not asked, as the daemon cannot be reached");
    }
    if (reached == 0) {
        throw Failure("no token reached; the FAIL lines say why");
    }
}

}  // namespace

void addDoctorCommands(std::vector<Command>& commands)
{
    commands.push_back({"doctor",
                        "",
                        "say why there is (or is no) token",
                        "Checks, as a support engineer would by hand, why the library reaches a token\n"
                        "from here, or why not, with the library's own configuration reader and\n"
                        "transports:\n"
                        "  - which vexaconfig.json it reads from the working directory (working\n"
                        "    directory, ~/.vexa/, /usr/local/etc/vexa/), every key that it ignores or\n"
                        "    that changes what it does, and the settings it resolves to;\n"
                        "  - USB HID: the hidraw nodes of the tokens and whether this user may open\n"
                        "    them, and the udev rule;\n"
                        "  - the daemon's Unix sockets: the socket directory, each socket, whether\n"
                        "    this user may connect and whether the daemon answers;\n"
                        "  - TLS: whether the address resolves, the port answers, the client\n"
                        "    certificate loads, and the daemon's certificate chains to the CA bundle\n"
                        "    and names the address;\n"
                        "  - the tokens the library reaches: serial, slot, model and label.\n"
                        "Each line is a finding: OK; WARN, it works, but perhaps not as meant or not\n"
                        "for every program; FAIL, it stands between the library and a token.\n"
                        "Exit status 0 when the library reached a token, 1 otherwise.\n",
                        {},
                        0,
                        0,
                        runDoctor});
}

}  // namespace vexa::tool
