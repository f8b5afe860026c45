#include "codec/header_encode.h"

#include <gtest/gtest.h>

#include <regex>

#include "codec/base64.h"
#include "codec/code_page.h"
#include "codec/header_decode.h"

namespace {

TEST(EncodedHeaderText, AsciiStaysAndEverythingElseBecomesWordsOfWholeCharacters) {
    EXPECT_EQ(EncodedHeaderText("Killed Messages"), "Killed Messages");
    EXPECT_EQ(EncodedHeaderText(""), "");
    EXPECT_EQ(EncodedHeaderText("D\xC3\xB6rte"), "=?UTF-8?B?RMO2cnRl?=");
    // A control character would end or bend the header line.
    EXPECT_EQ(EncodedHeaderText("a\nb"), "=?UTF-8?B?" + Base64Encode("a\nb") + "?=");

    // Long enough for several words, with two-byte characters at every
    // possible cut.
    for (const std::string lead : {"", "x", "xy"}) {
        std::string text = lead;
        for (int i = 0; i < 40; ++i)
            text +=
                "Gr\xC3\xBC\xC3\x9F"
                "e ";
        const std::string encoded = EncodedHeaderText(text);
        std::string joined;
        int words = 0;
        const std::regex word(R"(=\?UTF-8\?B\?([A-Za-z0-9+/=]*)\?=)");
        for (size_t start = 0; start <= encoded.size();) {
            size_t end = encoded.find("\n ", start);
            if (end == std::string::npos) end = encoded.size();
            const std::string line = encoded.substr(start, end - start);
            std::smatch match;
            ASSERT_TRUE(std::regex_match(line, match, word)) << line;
            EXPECT_LE(line.size(), 75u);
            const std::string bytes = Base64Decode(match[1].str());
            EXPECT_TRUE(IsUtf8(bytes)) << "a character split at word " << words;
            joined += bytes;
            ++words;
            start = end + 2;
        }
        EXPECT_GT(words, 4);
        EXPECT_EQ(joined, text);
        // What the program's own decoder reads back.
        EXPECT_EQ(DecodeHeaderText(encoded), Utf8ToOem(text));
    }
}

}  // namespace
