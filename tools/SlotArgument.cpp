#include "SlotArgument.h"

#include <algorithm>
#include <cctype>
#include <limits>

#include "Arguments.h"
#include "Errors.h"
#include "Library.h"
#include "TokenNames.h"

namespace vexa::tool {
namespace {

constexpr size_t kSerialLength = 12;

bool isDecimal(const std::string& word)
{
    return !word.empty() && std::all_of(word.begin(), word.end(), [](unsigned char c) { return std::isdigit(c); });
}

std::optional<CK_SLOT_ID> slotOfSerial(const CLibrary& library, const std::string& serial)
{
    for (const TokenSlot& token : library.tokens()) {
        if (corvel::sameSerial(token.serial, serial)) {
            return token.slot;
        }
    }
    return std::nullopt;
}

}  // namespace

bool isSerialNumber(const std::string& word)
{
    return word.size() == kSerialLength &&
           std::all_of(word.begin(), word.end(), [](unsigned char c) { return std::isxdigit(c); });
}

CSlotArgument::CSlotArgument(const std::string& word, const std::string& command)
    : m_word(word), m_serialForm(isSerialNumber(word))
{
    if (isDecimal(word)) {
        try {
            m_number = parseNumber(word, "SLOT", std::numeric_limits<uint32_t>::max(), command);
        } catch (const UsageError&) {
            // Too large for a slot number, yet maybe a serial number.
            if (!m_serialForm) {
                throw;
            }
        }
    }
    if (!m_number && !m_serialForm) {
        throw UsageError(
            "SLOT must be a slot number or a token's serial number (12 hexadecimal digits), not '" + word + "'",
            command);
    }
}

std::string CSlotArgument::description() const
{
    return m_serialForm ? m_word : "in slot " + std::to_string(*m_number);
}

CK_SLOT_ID CSlotArgument::resolve(const CLibrary& library, std::ostream& notes) const
{
    const std::optional<CK_SLOT_ID> bySerial = m_serialForm ? slotOfSerial(library, m_word) : std::nullopt;
    if (bySerial) {
        if (m_number && library.hasSlot(*m_number) && *m_number != *bySerial) {
            notes << "vexa-tool: '" << m_word << "' is taken as the serial number of the token in slot " << *bySerial
                  << ", not as slot " << *m_number << "\n";
        }
        return *bySerial;
    }
    if (m_number) {
        library.requireSlot(*m_number);
        return *m_number;
    }
    throw Failure("no token has the serial number " + m_word + " (vexa-tool slots lists the tokens)");
}

}  // namespace vexa::tool
