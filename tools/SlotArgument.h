#pragma once
// The SLOT argument of the commands: a slot number, or the 12-character serial
// number of a token. Slot numbers are positions that move when a token is
// unplugged; a serial number always names the same token.
#include <optional>
#include <ostream>
#include <string>

#include "vexa.h"

namespace vexa::tool {

class CLibrary;

class CSlotArgument {
public:
    // UsageError (naming `command`) when the word is neither.
    CSlotArgument(const std::string& word, const std::string& command);

    // The slot of the token with this serial number, else the slot of this
    // number. A word that is both (twelve decimal digits) names the token
    // with that serial when there is one, and `notes` says so. Throws
    // TokenError CKR_SLOT_ID_INVALID when no slot or token matches.
    CK_SLOT_ID resolve(const CLibrary& library, std::ostream& notes) const;

    // "in slot N" for a slot number, else the serial number as given.
    std::string description() const;

private:
    std::string m_word;
    std::optional<CK_SLOT_ID> m_number;
    bool m_serialForm = false;
};

// True for twelve hexadecimal digits, the form of a token's serial number.
bool isSerialNumber(const std::string& word);

}  // namespace vexa::tool
