#include "FakeHidTransport.h"

namespace vexa::test {

vexa::pkcs11::TransportKind fakeHidTransportKind(const std::vector<std::shared_ptr<FakeToken>>& tokens,
                                                 const std::vector<std::string>& products)
{
    vexa::pkcs11::TransportKind kind = fakeTransportKind(tokens);
    kind.factory = [tokens, products](vexa::pkcs11::SerialId serial, const vexa::pkcs11::LibrarySettings&,
                                      corvel::ILogTarget&) -> std::unique_ptr<corvel::CTransport> {
        return std::make_unique<FakeHidTransport>(tokens.at(serial - 1), products.at(serial - 1));
    };
    return kind;
}

}  // namespace vexa::test
