#pragma once
// The two halves of the restart test, each run in its own simulator run over
// one state directory. Both return 0 when every step worked and print what
// went wrong otherwise.

namespace vexa::test::engine {

// Serials of the tokens the HID tests run against.
inline constexpr const char* kU2fSerial = "0000000000A1";
inline constexpr const char* kReportIdSerial = "0000000000B2";

int persistStore();
int persistCheck();

}  // namespace vexa::test::engine
