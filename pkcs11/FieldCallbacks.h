#pragma once
#include <p11-kit/pkcs11.h>
#include <pb.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vexa::pkcs11 {

// Field callbacks shared by every function family. Each installs itself on
// one nanopb callback slot with an argument that lives for the one call;
// byte strings are read from, and written to, the caller's memory directly.

// Largest output a growing reader accepts: the size of the whole exchange.
constexpr size_t kGrowingOutputMax = 2048;

// Bytes writer argument: the caller's bytes, never copied into the message.
struct ByteSpan {
    const void* data;
    uint32_t length;
};

// Output reader argument. The field's bytes go to buffer when they fit its
// capacity (a null buffer skips them); received counts them.
struct OutputBuffer {
    uint8_t* buffer = nullptr;
    uint32_t capacity = 0;
    uint32_t received = 0;
    bool seen = false;  // the field was present in the reply
};

// Growing output reader argument: takes exactly the received bytes, at most
// kGrowingOutputMax.
struct GrowingOutput {
    std::vector<uint8_t> bytes;
};

// Encode: writes the field with the span's bytes; fails when the argument is
// absent or a non-empty span has no data.
bool writeBytes(pb_ostream_t* stream, const pb_field_t* field, void* const* arg);
// Encode: writes pParameter of a CK_MECHANISM (empty when it is null).
bool writeMechanismParameter(pb_ostream_t* stream, const pb_field_t* field, void* const* arg);
// Decode: copies into an OutputBuffer; fails when the bytes exceed its capacity.
bool readOutput(pb_istream_t* stream, const pb_field_t* field, void** arg);
// Decode: fills a GrowingOutput.
bool readGrowingOutput(pb_istream_t* stream, const pb_field_t* field, void** arg);

// Installers; the argument must outlive the encode or decode.
void setBytes(pb_callback_t& slot, ByteSpan& span);
void setMechanismParameter(pb_callback_t& slot, const CK_MECHANISM& mechanism);
void setOutput(pb_callback_t& slot, OutputBuffer& output);
void setGrowingOutput(pb_callback_t& slot, GrowingOutput& output);

// Every CK_ULONG handle, type, flag or number travels as its low 32 bits.
constexpr uint32_t low32(CK_ULONG value) { return static_cast<uint32_t>(value & 0xFFFFFFFFu); }

// A length of what the caller gives travels whole or not at all: one that no
// 32-bit field holds is refused, never cut, since a cut length would send
// other bytes than the caller gave. Byte strings passed as arguments (data,
// PINs, seeds) are refused with CKR_DATA_LEN_RANGE through inputSpan; lengths
// inside the caller's structures (mechanism parameters and their blocks,
// attributes) with CKR_ARGUMENTS_BAD.
constexpr bool fitsLengthField(CK_ULONG length) { return length <= 0xFFFFFFFFu; }

// Views caller bytes for the bytes writer; CKR_DATA_LEN_RANGE for a length
// that does not fit its field.
CK_RV inputSpan(const void* data, CK_ULONG length, ByteSpan& span);

// The capacity of a caller's buffer as it travels. One beyond 32 bits holds
// any reply, so it is announced as the largest; cut, it could shrink to
// nothing and draw CKR_BUFFER_TOO_SMALL for a buffer with room to spare.
constexpr uint32_t capacity32(CK_ULONG capacity)
{
    return fitsLengthField(capacity) ? static_cast<uint32_t>(capacity) : 0xFFFFFFFFu;
}

}  // namespace vexa::pkcs11
