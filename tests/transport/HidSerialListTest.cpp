// Listing the serial numbers of attached tokens.
#include <ostream>

#include "HidTestSupport.h"

namespace hidtest {
namespace {

using fakehid::Device;

struct ListCase {
    const char* name;
    std::vector<Device> devices;
    uint16_t vendorId;
    std::vector<std::string> serials;
};

void PrintTo(const ListCase& param, std::ostream* out) { *out << param.name; }

class SerialListTest : public ::testing::TestWithParam<ListCase> {
protected:
    void SetUp() override { fakehid::reset(); }
    void TearDown() override
    {
        EXPECT_EQ(fakehid::state().liveEnumerations, 0);
        fakehid::reset();
    }
};

TEST_P(SerialListTest, ListsEachTokenOnceInOrder)
{
    fakehid::state().devices = GetParam().devices;
    const auto list = corvel::CHIDTransport::listSerialNumbers(GetParam().vendorId, 0xA2AC);
    ASSERT_TRUE(list.has_value());
    EXPECT_EQ(*list, GetParam().serials);
    EXPECT_EQ(fakehid::state().enumeratedIds.at(0), std::make_pair(GetParam().vendorId, uint16_t{0xA2AC}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SerialListTest,
    ::testing::Values(
        ListCase{"NoToken", {}, 0x0483, {}},
        ListCase{"SortedByBytes", {token(L"B"), token(L"A"), token(L"a")}, 0x0483, {"A", "B", "a"}},
        ListCase{"InterfaceListedTwiceCountsOnce",
                 {token(L"A"), changed(token(L"A"), [](Device& d) { d.usagePage = 0xF1D0; })},
                 0x0483,
                 {"A"}},
        ListCase{"WithoutUsableSerialOrManufacturer",
                 {changed(token(L""), [](Device& d) { d.serial.reset(); }), token(L""),
                  changed(token(L"M"), [](Device& d) { d.manufacturer.reset(); }), token(L"C")},
                 0x0483,
                 {"C"}},
        ListCase{"AnyVendorNeedsTheTokenManufacturer",
                 {token(L"A"), changed(token(L"B"), [](Device& d) { d.manufacturer = L"someoneElse"; }),
                  changed(token(L"C"), [](Device& d) { d.vendorId = 0x1209; })},
                 0,
                 {"A", "C"}},
        ListCase{"LongSerialIsCutTo255Bytes",
                 {changed(token(L""), [](Device& d) { d.serial = std::wstring(300, L'7'); })},
                 0x0483,
                 {std::string(255, '7')}},
        ListCase{"OtherVendorIsNotListed", {changed(token(L"A"), [](Device& d) { d.vendorId = 0x1209; })}, 0x0483, {}}),
    [](const auto& info) { return std::string(info.param.name); });

struct ListFailureCase {
    const char* name;
    bool initFails;
    const wchar_t* serial;
    const char* stderrText;
};

class SerialListFailureTest : public SerialListTest {};

TEST_F(SerialListFailureTest, FailuresGiveNoListAndAMessage)
{
    const std::vector<ListFailureCase> cases{
        {"InitFails", true, L"A", "Exception while enumerating HID devices. (Unable to initialise the HID layer)"},
        {"SerialWithoutMultibyteForm", false, L"A\u20ac",
         "Exception while enumerating HID devices. (HID device string cannot be converted to multibyte text)"},
    };
    for (const ListFailureCase& failure : cases) {
        SCOPED_TRACE(failure.name);
        fakehid::reset();
        fakehid::state().initFails = failure.initFails;
        fakehid::state().devices = {token(L"0"), token(failure.serial)};
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(corvel::CHIDTransport::listSerialNumbers(0x0483, 0xA2AC), std::nullopt);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), failure.stderrText);
    }
}

}  // namespace
}  // namespace hidtest
