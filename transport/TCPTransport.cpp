#include "TCPTransport.h"

#include "ClientPacket.h"
#include "Exception.h"

namespace corvel {
namespace {

class SilentLog final : public ILogTarget {
public:
    void logText(int32_t, const std::string&) override {}
};

ILogTarget* orSilent(ILogTarget* target)
{
    static SilentLog silent;
    return target != nullptr ? target : &silent;
}

}  // namespace

TCPTransport::TCPTransport(std::string address, int32_t port, std::string caFile, ILogTarget* logTarget)
    : m_port(port),
      m_address(std::move(address)),
      m_caFile(std::move(caFile)),
      m_connection(m_address, m_port, m_caFile, orSilent(logTarget))
{}

TCPTransport::~TCPTransport() { close(); }

int32_t TCPTransport::open()
{
    close();
    if (!m_connection.connect(m_timeout)) {
        throw IOException("connection failed", -1);
    }
    return 1;
}

bool TCPTransport::isOpen() { return m_connection.isConnected(); }

void TCPTransport::close() { m_connection.close(); }

void TCPTransport::setTimeout(uint32_t milliseconds)
{
    m_timeout = milliseconds;
    m_connection.setReadTimeout(milliseconds);
}

uint32_t TCPTransport::getTimeout() { return m_timeout; }

size_t TCPTransport::read(uint8_t* buffer, size_t capacity)
{
    if (capacity == 0 || buffer == nullptr) {
        return 0;
    }
    size_t length = capacity;
    return m_connection.read(buffer, length) ? length : 0;
}

size_t TCPTransport::write(const std::vector<uint8_t>& data) { return write(data.data(), data.size()); }

size_t TCPTransport::write(const uint8_t* data, size_t length)
{
    ClientPacketBuffer packet;
    const size_t packetLength = buildClientPacket(data, length, packet);
    if (packetLength == 0) {
        return 0;
    }
    return m_connection.write(packet.data(), packetLength) ? length : 0;
}

const char* TCPTransport::getName() { return "TCP"; }

}  // namespace corvel
