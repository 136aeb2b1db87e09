#include "telemetry/instrument_text.h"

#include <gtest/gtest.h>
#include <string>

namespace zs::telemetry {
namespace {

const std::u16string kPages[3] = {
    // page 1: bytes 0x20..0x3F, then 0xB0..0xFF
    u"АБВГДЕЁЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮ"
    u"Яабвгдеёжзийклмнопрстуфхцчшщъыьэюя!\"#$%&"
    u"'()*+,-.:;?<=>@[\\]^_`{|}~ў°№¤0123456789 ",
    // page 2: bytes 0x20..0x3F, then 0xB0..0xFF
    u"АӘБВГҒДЕЁЖЗИЙКҚЛМНҢОӨПРСТУҰҮФХҺЦ"
    u"ЧШЩЪЫIЬЭЮЯаәбвгғдеёжзийкқлмнңоөпрстуұүфх"
    u"һцчшщъыiьэюя!\"#$%&'()*+,-.:;?0123456789 ",
    // page 3: bytes 0x20..0x3F, then 0xB0..0xFF
    u"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdef"
    u"ghijklmnopqrstuvwxyz!\"#$%&'()*+,-.:;?<=>"
    u"@[\\]^_`{|}~ў°№¤              0123456789 ",
};

TEST(InstrumentText, EveryByteOfEveryPage) {
    for (uint8_t page = 1; page <= 3; ++page) {
        SCOPED_TRACE(page);
        const std::u16string& expected = kPages[page - 1];
        ASSERT_EQ(expected.size(), 112u);
        for (int b = 0; b < 256; ++b) {
            char16_t want = u' ';
            if (b >= 0x20 && b < 0x40)
                want = expected[b - 0x20];
            else if (b >= 0x40 && b <= 0x7E)
                want = static_cast<char16_t>(b);
            else if (b >= 0xB0)
                want = expected[b - 0xB0 + 32];
            ASSERT_EQ(instrumentCharacter(static_cast<uint8_t>(b), page), want) << b;
        }
    }
}

TEST(InstrumentText, UnknownPagesGiveSpaces) {
    for (uint8_t page : {0, 4, 255})
        for (int b = 0; b < 256; ++b)
            ASSERT_EQ(instrumentCharacter(static_cast<uint8_t>(b), page), u' ') << b;
}

} // namespace
} // namespace zs::telemetry
