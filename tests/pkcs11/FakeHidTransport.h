#pragma once
// A fake token that the library takes for a directly attached HID device,
// with the product name that device would report once opened.
#include <memory>
#include <string>
#include <vector>

#include "CHIDTransport.h"
#include "FakeTransport.h"

namespace vexa::test {

class FakeHidTransport : public corvel::CHIDTransport {
public:
    FakeHidTransport(std::shared_ptr<FakeToken> token, std::string product)
        : m_fake(std::move(token)), m_product(std::move(product))
    {}

    int32_t open() override { return m_fake.open(); }
    bool isOpen() override { return m_fake.isOpen(); }
    void close() override { m_fake.close(); }
    void setTimeout(uint32_t milliseconds) override { m_fake.setTimeout(milliseconds); }
    uint32_t getTimeout() override { return m_fake.getTimeout(); }
    size_t read(uint8_t* buffer, size_t capacity) override { return m_fake.read(buffer, capacity); }
    size_t write(const std::vector<uint8_t>& data) override { return m_fake.write(data); }
    size_t write(const uint8_t* data, size_t length) override { return m_fake.write(data, length); }
    const std::string& getProduct() override { return m_product; }

private:
    FakeTransport m_fake;
    std::string m_product;
};

// Like fakeTransportKind, but slot i is a HID device named products[i].
vexa::pkcs11::TransportKind fakeHidTransportKind(const std::vector<std::shared_ptr<FakeToken>>& tokens,
                                                 const std::vector<std::string>& products);

}  // namespace vexa::test
