#include "codec/code_page.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

TEST(CodePage, Utf8ForOneLineKeepsCharactersAndDisarmsControls) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"Plain text, \xc3\xbc\xe2\x82\xac\xf0\x9f\x98\x80",
         "Plain text, \xc3\xbc\xe2\x82\xac\xf0\x9f\x98\x80"},
        {"tab\tcr\rlf\n", "tab cr lf "},
        {"\x1b[31mred\x07", "?[31mred?"},
        {std::string("nul\0del\x7f", 8), "nul?del?"},
        {"c1 \xc2\x9b"
         "31m \xc2\x85",
         "c1 ?31m ?"},                     // CSI and NEL in UTF-8
        {"\xc2\xa0nbsp", "\xc2\xa0nbsp"},  // U+00A0 is the first kept
        {"raw \x9b\xff\xfe", "raw ???"},   // not UTF-8
        {"cut \xe2\x82", "cut ??"},        // a sequence cut short
        {"overlong \xc0\xaf \xe0\x80\xaf", "overlong ?? ???"},
        {"surrogate \xed\xa0\x80", "surrogate ???"},
        {"\xc9", "?"},
    };
    for (const auto& [text, shown] : cases) EXPECT_EQ(Utf8ForOneLine(text), shown) << text;
}
