#include "ScriptedToken.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "wire/CallTable.h"

namespace vexa::test {
namespace {

// The largest reply a token sends; the library reads no more.
constexpr size_t kReplyLimit = 2048;

std::string tagsOf(wire::FieldSet fields)
{
    std::string tags;
    for (unsigned tag = 0; tag < 32; ++tag) {
        if ((fields >> tag & 1) != 0) {
            tags += (tags.empty() ? "" : ", ") + std::to_string(tag);
        }
    }
    return tags;
}

void expectFitsItsCall(const Request& request)
{
    const wire::Call* call = wire::findCall(request.function);
    if (call == nullptr) {
        ADD_FAILURE() << "the library sent function " << request.function << ", which no call has";
        return;
    }
    const wire::FieldSet stray = wire::presentFields(request) & ~call->carries();
    EXPECT_EQ(stray, 0u) << call->name << " sent fields it does not carry, tags " << tagsOf(stray);
    EXPECT_EQ(request.session.has_value(), call->namesSession())
        << call->name << (call->namesSession() ? " names no session" : " names a session");
}

template <typename Array>
void copyBounded(Array& target, const std::string& text, const char* name)
{
    if (text.size() > sizeof target.bytes) {
        throw std::runtime_error(std::string("token info ") + name + " longer than its bound");
    }
    target.size = static_cast<pb_size_t>(text.size());
    std::memcpy(target.bytes, text.data(), text.size());
}

}  // namespace

Request decodeRequest(const Bytes& bytes)
{
    Request request;
    const char* error = nullptr;
    if (!wire::decodeRequest(bytes, request, &error)) {
        throw std::runtime_error(std::string("request does not decode: ") + (error != nullptr ? error : "?"));
    }
    return request;
}

Bytes encodeResponse(const Response& response)
{
    Bytes bytes;
    if (!wire::encodeResponse(response, bytes, kReplyLimit)) {
        throw std::runtime_error("response does not encode");
    }
    return bytes;
}

std::function<Bytes(const Bytes&)> respondWith(std::function<Response(const Request&)> script)
{
    return [script = std::move(script)](const Bytes& bytes) {
        const Request request = decodeRequest(bytes);
        expectFitsItsCall(request);
        return encodeResponse(script(request));
    };
}

std::vector<Request> decodeAll(const std::vector<Bytes>& requests)
{
    std::vector<Request> decoded;
    for (const Bytes& request : requests) {
        decoded.push_back(decodeRequest(request));
        expectFitsItsCall(decoded.back());
    }
    return decoded;
}

RpcTokenConfig tokenConfig(std::optional<uint32_t> config1, std::optional<uint32_t> config2,
                           std::optional<uint32_t> config3, std::optional<uint32_t> config4)
{
    return {config1.has_value(), config1.value_or(0), config2.has_value(), config2.value_or(0),
            config3.has_value(), config3.value_or(0), config4.has_value(), config4.value_or(0)};
}

RpcTokenInfo tokenInfo(const TokenTexts& texts)
{
    RpcTokenInfo info = RpcTokenInfo_init_zero;
    copyBounded(info.label, texts.label, "label");
    copyBounded(info.manufacturerID, texts.manufacturerID, "manufacturerID");
    copyBounded(info.model, texts.model, "model");
    copyBounded(info.serialNumber, texts.serialNumber, "serialNumber");
    copyBounded(info.utcTime, texts.utcTime, "utcTime");
    return info;
}

}  // namespace vexa::test
