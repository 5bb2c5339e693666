#pragma once
// A fake token that the library takes for a directly attached HID device,
// with the product name that device would report once opened.
#include <memory>
#include <string>
#include <vector>

#include "FakeTransport.h"

namespace vexa::test {

class FakeHidTransport : public FakeTransport {
public:
    FakeHidTransport(std::shared_ptr<FakeToken> token, std::string product)
        : FakeTransport(std::move(token)), m_product(std::move(product))
    {}

    const char* getName() override { return "HID"; }
    std::string getProduct() override { return m_product; }

private:
    std::string m_product;
};

// Like fakeTransportKind, but slot i is a HID device named products[i].
vexa::pkcs11::TransportKind fakeHidTransportKind(const std::vector<std::shared_ptr<FakeToken>>& tokens,
                                                 const std::vector<std::string>& products);

}  // namespace vexa::test
