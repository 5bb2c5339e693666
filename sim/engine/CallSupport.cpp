#include <cstdio>

#include "Calls.h"

namespace vexa::sim::engine {

CK_BYTE_PTR input(const std::optional<Bytes>& bytes)
{
    static CK_BYTE none = 0;
    if (!bytes) {
        return nullptr;
    }
    return bytes->empty() ? &none : const_cast<CK_BYTE_PTR>(bytes->data());
}

CK_ULONG inputLength(const std::optional<Bytes>& bytes) { return bytes ? bytes->size() : 0; }

CK_ATTRIBUTE_PTR attributes(CTemplate& templ)
{
    // SoftHSM2 reads no attribute of an empty template, let alone writes one.
    static CK_ATTRIBUTE none{};
    return templ.count() ? templ.data() : &none;
}

std::string hex32(CK_ULONG value)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%08lx", static_cast<unsigned long>(value));
    return buf;
}

}  // namespace vexa::sim::engine
