// A hidapi client for tests and demonstrations, run under vexa-token-sim:
//   vexa-sim-probe list                  serial numbers of attached tokens
//   vexa-sim-probe exchange SERIAL HEX   one request through CHIDTransport
//   vexa-sim-probe control LINE...       one control line via VEXA_SIM_CONTROL
//   vexa-sim-probe demo                  every token: open, exchange, check
//   vexa-sim-probe half SERIAL LENGTH u2f|reportid
//                                        half of a request, then killed (HalfRequest.h)
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "CHIDTransport.h"
#include "HalfRequest.h"
#include "HexText.h"
#include "TokenSimulator.h"

namespace {

constexpr uint16_t kVendorId = 0x0483;
constexpr uint16_t kProductId = 0xA2AC;
constexpr size_t kReplyCapacity = 4096;

std::vector<std::string> listSerials()
{
    return corvel::CHIDTransport::listSerialNumbers(kVendorId, kProductId).value_or(std::vector<std::string>{});
}

struct Exchange {
    const char* framing;
    std::vector<uint8_t> reply;
};

Exchange exchangeWith(const std::string& serial, const std::vector<uint8_t>& request)
{
    corvel::CHIDTransport transport;
    transport.setVendorProductId(kVendorId, kProductId);
    transport.setSerialNumber(serial.c_str());
    transport.open();
    transport.setTimeout(2000);
    transport.write(request);
    std::vector<uint8_t> reply(kReplyCapacity);
    reply.resize(transport.read(reply.data(), reply.size()));
    return {transport.usesU2F() ? "u2f" : "reportid", reply};
}

int demo()
{
    const std::vector<std::string> serials = listSerials();
    std::printf("%zu tokens\n", serials.size());
    const std::vector<uint8_t> request = {0x01, 0x02, 0x03, 0x04, 0x05};
    int failures = serials.empty() ? 1 : 0;
    for (const std::string& serial : serials) {
        const Exchange e = exchangeWith(serial, request);
        const bool ok = e.reply == std::vector<uint8_t>(request.rbegin(), request.rend());
        std::printf("%s %s framing: sent %s, got %s: %s\n", serial.c_str(), e.framing,
                    vexa::test::toHex(request).c_str(), vexa::test::toHex(e.reply).c_str(), ok ? "ok" : "WRONG");
        failures += ok ? 0 : 1;
    }
    return failures ? 1 : 0;
}

int run(const std::vector<std::string>& args)
{
    if (args.size() == 1 && args[0] == "list") {
        for (const std::string& serial : listSerials()) {
            std::printf("%s\n", serial.c_str());
        }
        return 0;
    }
    if (args.size() == 3 && args[0] == "exchange") {
        const Exchange e = exchangeWith(args[1], vexa::test::fromHex(args[2]));
        std::printf("%s %s\n", e.framing, vexa::test::toHex(e.reply).c_str());
        return 0;
    }
    if (args.size() >= 2 && args[0] == "control") {
        std::string line;
        for (size_t i = 1; i < args.size(); ++i) {
            line += (i > 1 ? " " : "") + args[i];
        }
        std::printf("%s\n", vexa::test::controlFromInside(line).c_str());
        return 0;
    }
    if (args.size() == 1 && args[0] == "demo") {
        return demo();
    }
    if (args.size() == 4 && args[0] == "half") {
        return vexa::test::sendHalfARequest(args[1], std::stoul(args[2]), args[3]);
    }
    std::fprintf(stderr,
                 "usage: vexa-sim-probe list | exchange SERIAL HEX | control LINE... | demo | half SERIAL LENGTH "
                 "u2f|reportid\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        return run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vexa-sim-probe: %s\n", e.what());
        return 1;
    }
}
