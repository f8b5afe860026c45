#include "codec/header_decode.h"

#include <gtest/gtest.h>

#include "codec/base64.h"
#include "codec/code_page.h"

namespace {

struct DecodeCase {
    std::string input;
    std::string expected;  // in code page 437
};

// Code page 437 bytes used below.
constexpr char kOemUUmlaut = '\x81';
constexpr char kOemSharpS = '\xE1';

TEST(DecodeHeaderText, EncodedWords) {
    const std::string gruesse = std::string("Gr") + kOemUUmlaut + kOemSharpS + "e";
    const DecodeCase cases[] = {
        {"plain text", "plain text"},
        {"=?ISO-8859-1?Q?Gr=FC=DFe_aus?=", gruesse + " aus"},
        {"=?iso-8859-1?B?SGFsbG8=?=", "Hallo"},
        {"=?iso-8859-1?B?SGFsbG8h?=", "Hallo!"},
        {"=?Windows-1252?q?=93quoted=94?=", "\"quoted\""},
        {"Subject: =?iso-8859-1?Q?a?=b tail", "Subject: ab tail"},
        // Every word is decoded, left to right; white space between two
        // decoded words is dropped, other text between them is kept.
        {"Re: =?iso-8859-1?Q?a?= =?iso-8859-1?Q?b?=", "Re: ab"},
        {"=?utf-8?Q?a?=\r\n\t=?utf-8?Q?b?=  c", "ab  c"},
        {"=?iso-8859-1?Q?=E4?= und =?windows-1252?Q?=F6?=", "\x84 und \x94"},
        {"=?iso-8859-1?Q?a?==?iso-8859-1?Q?b?=", "ab"},
        // UTF-8 goes straight to code page 437, best fit or "?".
        {"=?utf-8?Q?abc?=", "abc"},
        {"=?utf-8*de?Q?=C3=A4?=", "\x84"},
        {"=?UTF-8?Q?Gr=C3=BC=C3=9Fe?=", gruesse},
        {"=?utf-8?B?" +
             Base64Encode("Gr\xC3\xBC\xC3\x9F"
                          "e \xE2\x82\xAC \xC5\x81\xC3\xB3"
                          "d\xC5\xBA") +
             "?=",
         gruesse + " ? L\xA2" + "dz"},
        {"=?utf-8?Q?=E2=80=9Chi=E2=80=9D_=E4=B8=AD?=", "\"hi\" ?"},
        {"=?utf-8?Q?bad=C3=28?=", "bad?("},
        // ISO-8859-15 differs from ISO-8859-1 in eight places.
        {"=?iso-8859-15?Q?=A6=BC?=", "SO"},
        {"=?iso-8859-1?Q?=A6=BC?=", "|\xAC"},
        // Unknown character sets and malformed words stay as written.
        {"=?koi8-r?Q?abc?=", "=?koi8-r?Q?abc?="},
        {"=?iso-8859-1?Q?a?= =?koi8-r?Q?b?= =?iso-8859-1?Q?c?=", "a =?koi8-r?Q?b?= c"},
        {"=?iso-8859-1?X?abc?=", "=?iso-8859-1?X?abc?="},
        {"=?iso-8859-1?Q?abc", "=?iso-8859-1?Q?abc"},
        {"=?iso-8859-1?Q", "=?iso-8859-1?Q"},
        {"=?", "=?"},
        // "Q": two characters always follow "=", only leading hex digits count.
        {"=?iso-8859-1?Q?=4z?=", std::string("\x04", 1)},
        {"=?iso-8859-1?Q?x=zzy?=", std::string("x\0y", 3)},
        {"=?iso-8859-1?Q?a=?=", std::string("a\0", 2)},
        {"=?iso-8859-1?Q?=e4=C4?=", "\x84\x8E"},
        // A NUL byte does not cut the text.
        {"=?iso-8859-1?Q?a=00b?= " + std::string(300, 'x') + "\xE9",
         std::string("a\0b ", 4) + std::string(300, 'x') + "\x82"},
        // Undecoded text is converted too.
        {"caf\xE9 \xC0 \x80 \x96", "caf\x82 A ? -"},
    };
    for (const DecodeCase& c : cases) {
        EXPECT_EQ(DecodeHeaderText(c.input), c.expected) << c.input;
    }
}

TEST(CodePage, AnsiToOemKeepsEveryByteInPlace) {
    std::string all;
    for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
    std::string oem = AnsiToOem(all);
    ASSERT_EQ(oem.size(), 256u);
    for (int c = 0; c < 128; ++c) EXPECT_EQ(oem[c], static_cast<char>(c)) << c;
    const std::pair<unsigned char, unsigned char> spots[] = {
        {0xE4, 0x84}, {0xF6, 0x94}, {0xFC, 0x81}, {0xC4, 0x8E}, {0xD6, 0x99}, {0xDC, 0x9A},
        {0xDF, 0xE1}, {0xE9, 0x82}, {0xA0, 0xFF}, {0xB0, 0xF8}, {0xB5, 0xE6}, {0x83, 0x9F},
        {0xC0, 'A'},  {0xC8, 'E'},  {0xF5, 'o'},  {0xD8, 'O'},  {0x8A, 'S'},  {0x9E, 'z'},
        {0x91, '\''}, {0x94, '"'},  {0x97, '-'},  {0xA7, 0x15}, {0x80, '?'},  {0x81, '?'},
        {0xA9, '?'},  {0xBE, '?'},
    };
    for (auto [ansi, expected] : spots) {
        EXPECT_EQ(static_cast<unsigned char>(oem[ansi]), expected) << int(ansi);
    }
}

struct SenderCase {
    std::string sender;
    std::string addressFirst;
    std::string nameFirst;
};

TEST(SenderForms, AddressFirstAndNameFirst) {
    const SenderCase cases[] = {
        {"\"John Doe\" <john@example.com>", "john@example.com (John Doe)",
         "John Doe <john@example.com>"},
        {"John Doe <john@example.com>", "john@example.com (John Doe)",
         "John Doe <john@example.com>"},
        {"john@example.com (John Doe)", "john@example.com (John Doe)",
         "John Doe <john@example.com>"},
        {"  john@example.com  ", "john@example.com", "<john@example.com>"},
        {"<john@example.com>", "john@example.com", "<john@example.com>"},
        {"\"\" <a@b>", "a@b ()", " <a@b>"},
        // Without angle brackets the name starts at the second character
        // after the first space: written for "(Name)".
        {"a@b Name", "a@b (ame", "ame <a@b>"},
        {"a@b ", "a@b", "<a@b>"},
        {"", "", "<>"},
    };
    for (const SenderCase& c : cases) {
        EXPECT_EQ(AddressFirst(c.sender), c.addressFirst) << c.sender;
        EXPECT_EQ(NameFirst(c.sender), c.nameFirst) << c.sender;
    }
}

TEST(SenderForms, AddressInBracketsIsCutAt255Characters) {
    std::string address(300, 'a');
    EXPECT_EQ(AddressFirst("N <" + address + ">"), std::string(255, 'a') + " (N)");
    EXPECT_EQ(NameFirst("N <" + address + ">"), "N <" + std::string(255, 'a') + ">");
}

}  // namespace
