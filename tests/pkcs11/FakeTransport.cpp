#include "FakeTransport.h"

#include <algorithm>
#include <cstring>

#include "Exception.h"

namespace vexa::test {

void FakeTransport::open()
{
    m_token->calls.push_back("open");
    if (m_token->throwNonStandard) {
        throw 42;
    }
    if (!m_token->throwOnOpen.empty()) {
        throw corvel::IOException(corvel::TransportFailure::Unreachable, m_token->throwOnOpen);
    }
    m_token->open = true;
    m_token->generation += m_token->newDeviceOnOpen ? 1 : 0;
}

void FakeTransport::close()
{
    m_token->calls.push_back("close");
    m_token->open = false;
}

void FakeTransport::failIfAsked(std::optional<InjectedFailure>& failure)
{
    if (!failure) {
        return;
    }
    const InjectedFailure injected = *failure;
    failure.reset();
    if (injected.closes) {
        close();
    }
    throw corvel::IOException(injected.failure, injected.message);
}

size_t FakeTransport::write(const uint8_t* data, size_t length)
{
    m_token->calls.push_back("write");
    failIfAsked(m_token->failWrite);
    std::vector<uint8_t> request(data, data + length);
    m_token->requests.push_back(request);
    m_pendingReply = m_token->responder(request);
    return length;
}

size_t FakeTransport::read(uint8_t* buffer, size_t capacity)
{
    m_token->calls.push_back("read");
    const std::vector<uint8_t> reply = std::move(m_pendingReply);
    m_pendingReply.clear();
    failIfAsked(m_token->failRead);
    if (reply.size() > capacity) {
        throw corvel::IOException(corvel::TransportFailure::TooLong, "Reply longer than the read buffer");
    }
    if (!reply.empty()) {
        std::memcpy(buffer, reply.data(), reply.size());
    }
    return reply.size();
}

vexa::pkcs11::TransportKind fakeTransportKind(const std::vector<std::shared_ptr<FakeToken>>& tokens)
{
    vexa::pkcs11::TransportKind kind;
    kind.lister = [tokens](const vexa::pkcs11::LibrarySettings&, corvel::ILogTarget&) {
        std::vector<vexa::pkcs11::SerialId> serials;
        for (size_t i = 0; i < tokens.size(); ++i) {
            serials.push_back(i + 1);
        }
        return serials;
    };
    kind.factory = [tokens](vexa::pkcs11::SerialId serial, const vexa::pkcs11::LibrarySettings&,
                            corvel::ILogTarget&) -> std::unique_ptr<corvel::CTransport> {
        const auto& token = tokens.at(serial - 1);
        if (token == nullptr) {
            return nullptr;
        }
        return std::make_unique<FakeTransport>(token);
    };
    return kind;
}

}  // namespace vexa::test
