#include "filter/relay_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/log.h"
#include "core/settings.h"
#include "core/temp_dir.h"

namespace {

class RelayListTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CloseLog();
        Settings = SettingsRecord{};
        ASSERT_TRUE(OpenLog(dir_.path() + "TRAWLBOX.LOG"));
    }
    void TearDown() override {
        CloseLog();
        PublishRelayBlacklist({});
    }
    void LoadBlacklist(const std::string& contents) {
        dir_.Write("TRAWLBOX.RBL", contents);
        LoadRelayBlacklistFrom(dir_.path());
    }

    TempDir dir_;
};

TEST_F(RelayListTest, MissingOrEmptyFileGetsItsHeaderAndListsNothing) {
    const std::string header =
        "# Trawlbox RelayBlacklist      #\r\n# Form: IP/CIDR <Space> Comment #\r\n";
    LoadRelayBlacklistFrom(dir_.path());  // missing
    EXPECT_EQ(dir_.Read("TRAWLBOX.RBL"), header);
    LoadBlacklist("");
    EXPECT_EQ(dir_.Read("TRAWLBOX.RBL"), header);
    EXPECT_TRUE(CurrentRelayBlacklist()->empty());
    EXPECT_EQ(dir_.Read("TRAWLBOX.LOG").find("Loading"), std::string::npos);

    // Loaded again, the header alone gives an empty list and is announced.
    LoadRelayBlacklistFrom(dir_.path());
    EXPECT_TRUE(CurrentRelayBlacklist()->empty());
    EXPECT_NE(dir_.Read("TRAWLBOX.LOG").find("     : Loading Relay Blacklist\n"),
              std::string::npos);
}

TEST_F(RelayListTest, RelaysInHeaderTexts) {
    LoadBlacklist(
        "# relays\n"
        "192.0.2.0/24 documentation relays\n"
        "198.51.100.7 single\r\n");
    ASSERT_EQ(CurrentRelayBlacklist()->size(), 2u);
    struct Case {
        const char* text;
        bool found;
        const char* entry;
    } cases[] = {
        {"Received: from relay.example [192.0.2.1] by mx", true,
         "192.0.2.0/24 documentation relays"},
        {"Received: from relay.example (192.0.2.1) by mx", true,
         "192.0.2.0/24 documentation relays"},
        {"Received: from relay.example (HELO x) ([192.0.2.200])", true,
         "192.0.2.0/24 documentation relays"},
        {"Received: from 192.0.2.1 by mx", false, ""},
        {"Received: from a [203.0.113.5] via b (198.51.100.7)", true, "198.51.100.7 single"},
        {"Received: from a [198.51.100.8] via b [192.0.2.9]", true,
         "192.0.2.0/24 documentation relays"},
        {"Received: mixed [192.0.2.1) closers", true, "192.0.2.0/24 documentation relays"},
        {"Received: underscores [192_0_2_1]", true, "192.0.2.0/24 documentation relays"},
        {"Received: low bits [448.0.2.1]", true, "192.0.2.0/24 documentation relays"},
        {"Received: [[192.0.2.1]]", true, "192.0.2.0/24 documentation relays"},
        {"Received: three parts [192.0.2] and five [192.0.2.1.5]", false, ""},
        {"Received: blank inside [192.0.2. 1]", false, ""},
        {"Received: empty part [192..2.1]", false, ""},
        {"Received: unclosed [192.0.2.1", false, ""},
        {"", false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::string entry = "untouched";
        EXPECT_EQ(FindBlacklistedRelay(c.text, entry), c.found);
        EXPECT_EQ(entry, c.found ? c.entry : "untouched");
    }
}

// A list typed in a UTF-8 editor keeps its comments in the code page the
// filter reports in, its mark does not spoil the first address, and an old
// code page list is read as its bytes.
TEST_F(RelayListTest, Utf8ListsAreReadInTheCodePage) {
    LoadBlacklist(
        "\xEF\xBB\xBF"
        "192.0.2.0/24 Relais in K\xC3\xB6ln\n"
        "198.51.100.7 \xE2\x98\x83 snowman\n");
    ASSERT_EQ(CurrentRelayBlacklist()->size(), 2u);
    std::string entry;
    EXPECT_TRUE(FindBlacklistedRelay("Received: from a [192.0.2.1]", entry));
    EXPECT_EQ(entry, "192.0.2.0/24 Relais in K\x94ln");
    EXPECT_TRUE(FindBlacklistedRelay("Received: from a [198.51.100.7]", entry));
    EXPECT_EQ(entry, "198.51.100.7 ? snowman");

    LoadBlacklist("192.0.2.0/24 K\x94ln\n");
    EXPECT_TRUE(FindBlacklistedRelay("Received: from a [192.0.2.1]", entry));
    EXPECT_EQ(entry, "192.0.2.0/24 K\x94ln");
}

TEST_F(RelayListTest, Ipv6RelaysInBothWrittenForms) {
    LoadBlacklist(
        "2001:db8::/32 documentation six\n"
        "192.0.2.0/24 documentation four\n"
        "2001:db8::/x broken, matches nothing\n");
    ASSERT_EQ(CurrentRelayBlacklist()->size(), 3u);
    const std::string six = "2001:db8::/32 documentation six";
    const std::string four = "192.0.2.0/24 documentation four";
    struct Case {
        const char* text;
        const std::string* entry;  // nullptr: none found
    } cases[] = {
        {"Received: from x (x [2001:db8::5]) by mx", &six},
        {"Received: from x (x [IPv6:2001:DB8::5]) by mx", &six},
        {"Received: from x (x [ipv6:2001:db8::5]) by mx", &six},
        {"Received: from x (2001:db8::5) by mx", &six},  // parenthesised, bare
        {"Received: from x ([2001:db8::5]:4711 helo=x) by mx", &six},
        {"Received: from x (x [::ffff:192.0.2.1]) by mx", &four},     // mapped: IPv4
        {"Received: from x (x [2001:db9::5]) (2001:db8::77)", &six},  // on to the next
        {"Received: from x [2001:db9::5]", nullptr},
        {"Received: from x [IPv6: 2001:db8::5]", nullptr},
        {"Received: from x [IPv6:2001:db8::5", nullptr},
        {"Received: from x [2001:db8::5::1]", nullptr},
        {"Received: from x [fe80::1%eth0]", nullptr},
        {"Received: from 2001:db8::5 by mx", nullptr},  // bare addresses never count
        {"Received: from x [::1] and [10.0.0.1]", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::string entry = "untouched";
        EXPECT_EQ(FindBlacklistedRelay(c.text, entry), c.entry != nullptr);
        EXPECT_EQ(entry, c.entry ? *c.entry : "untouched");
    }
}

// Received lines as real servers write them, unfolded as the header reader
// joins them (a continuation's first blank dropped).
TEST(TopRelayAddresses, TheRelayOfEachShapeOfReceivedLine) {
    struct Case {
        const char* writer;
        const char* line;
        const char* relay;  // nullptr: none
    } cases[] = {
        {"Postfix",
         "Received: from mail.example.org (mail.example.org [192.0.2.5])(using TLSv1.3 with "
         "cipher TLS_AES_256_GCM_SHA384 (256/256 bits) key-exchange X25519 server-signature "
         "RSA-PSS (2048 bits) server-digest SHA256)(No client certificate requested)by "
         "mx.example.net (Postfix) with ESMTPS id 4AbCdE for <u@example.net>; Mon, 7 Dec 2026 "
         "10:00:00 +0100 (CET)",
         "192.0.2.5"},
        {"Postfix, a HELO literal outside the comment",
         "Received: from [10.0.0.1] (unknown [192.0.2.5])by mx.example.net (Postfix) with "
         "ESMTP id 4AbCdE",
         "192.0.2.5"},
        {"Postfix over IPv6",
         "Received: from mail.example.org (mail.example.org [2001:db8::5])by mx.example.net "
         "(Postfix) with ESMTPS id 4AbCdE",
         "2001:db8::5"},
        {"Sendmail over IPv6",
         "Received: from host.example.org (host.example.org [IPv6:2001:db8:1:0:0:0:0:25]) by "
         "mx.example.net (8.15.2/8.15.2/Debian-22) with ESMTP id 0B7A0xyz; Mon, 7 Dec 2026",
         "2001:db8:1::25"},
        {"Exim with a name and a port",
         "Received: from host.example.org ([2001:db8::7]:41234 helo=host.example.org)by "
         "mx.example.net with esmtps (TLS1.3) tls TLS_AES_256_GCM_SHA384 (Exim 4.96) "
         "(envelope-from <a@example.org>) id 1abc-000123-AB for u@example.net",
         "2001:db8::7"},
        {"Exim without a name, a literal for HELO",
         "Received: from [192.0.2.9] (helo=[10.1.1.1])by mx.example.net with esmtp (Exim 4.96)",
         "192.0.2.9"},
        {"Exim without a name, its port",
         "Received: from [192.0.2.9] (port=52314 helo=client.example) by mx.example.net",
         "192.0.2.9"},
        {"Gmail",
         "Received: from mail-sor-f41.google.com (mail-sor-f41.google.com. "
         "[209.85.220.41])        by mx.google.com with SMTPS id a1sor123;        Mon, 07 Dec",
         "209.85.220.41"},
        {"Gmail over IPv6",
         "Received: from mail-pl1-x62e.google.com (mail-pl1-x62e.google.com. "
         "[2607:f8b0:4864:20::62e])        by mx.google.com with ESMTPS id x1si2",
         "2607:f8b0:4864:20::62e"},
        {"Microsoft, between its own machines",
         "Received: from AM0PR01MB1234.eurprd01.prod.exchangelabs.com (2603:10a6:208:ac::12) by "
         "AM0PR01MB5678.eurprd01.prod.exchangelabs.com (2603:10a6:208:12::34) with Microsoft "
         "SMTP Server (version=TLS1_2) id 15.20.7633.23; Mon, 7 Dec 2026",
         "2603:10a6:208:ac::12"},
        {"Microsoft, from outside",
         "Received: from mail.example.org (192.0.2.44) by DB5EUR01FT001.mail.protection."
         "outlook.com (10.152.4.1) with Microsoft SMTP Server id 15.20.1 via Frontend Transport",
         "192.0.2.44"},
        {"qmail, a literal for HELO",
         "Received: from unknown (HELO [10.0.0.1]) (192.0.2.66)  by mx.example.net with SMTP; 7 "
         "Dec 2026 09:00:00 -0000",
         "192.0.2.66"},
        {"Courier, an IPv4-mapped address",
         "Received: from host.example.org (host.example.org [::ffff:192.0.2.77])  (AUTH: LOGIN "
         "a) by mx.example.net with ESMTPA; Mon, 07 Dec 2026",
         "192.0.2.77"},
        {"local delivery", "received: FROM localhost (localhost [127.0.0.1])by mx", "127.0.0.1"},
        {"qmail, local", "Received: (qmail 12345 invoked by uid 89); 7 Dec 2026 09:00:00 -0000",
         nullptr},
        {"Gmail, internal",
         "Received: by 2002:a05:7000:1234:b0:5a1:1234:5678 with SMTP id x; Mon, 07 Dec 2026",
         nullptr},
        {"an address only after by",
         "Received: from localhost by mx.example.net (192.0.2.200) with LMTP", nullptr},
        {"an unlisted form", "Received: from 192.0.2.5 by mx.example.net", nullptr},
        {"a lenient IPv4 is no address here", "Received: from x (x [192_0_2_1]) by mx", nullptr},
        {"no from part", "Received: fromage (x [192.0.2.5]) by mx", nullptr},
        {"an unclosed bracket", "Received: from x (x [192.0.2.5", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.writer);
        std::vector<IpAddress> relays = TopRelayAddresses({c.line}, 1);
        if (c.relay == nullptr) {
            EXPECT_TRUE(relays.empty()) << IpAddressText(relays[0]);
            continue;
        }
        ASSERT_EQ(relays.size(), 1u);
        EXPECT_EQ(IpAddressText(relays[0]), c.relay);
        bool ipv6 = std::string(c.relay).find(':') != std::string::npos;
        EXPECT_EQ(relays[0].family, ipv6 ? IpFamily::kIpv6 : IpFamily::kIpv4);
    }
}

// Only the top lines count: the first is the one the user's provider wrote.
TEST(TopRelayAddresses, DepthCountsReceivedLinesFromTheTop) {
    const std::vector<std::string> header = {
        "Return-Path: <a@example.org>",
        "Received: by mx.example.net (Postfix, from userid 0) id 4X",
        "Received: from a.example.org (a.example.org [192.0.2.1]) by mx.example.net",
        "Subject: Received: from z (z [192.0.2.99]) by y",
        "Received: from c.example.org (c.example.org [2001:db8::9]) by a.example.org",
    };
    auto texts = [&](size_t depth) {
        std::vector<std::string> shown;
        for (const IpAddress& address : TopRelayAddresses(header, depth)) {
            shown.push_back(IpAddressText(address));
        }
        return shown;
    };
    EXPECT_EQ(texts(0), std::vector<std::string>{});
    EXPECT_EQ(texts(1), std::vector<std::string>{});  // the top line names no relay
    EXPECT_EQ(texts(2), std::vector<std::string>{"192.0.2.1"});
    EXPECT_EQ(texts(3), (std::vector<std::string>{"192.0.2.1", "2001:db8::9"}));
    EXPECT_EQ(texts(10), texts(3));
}

TEST_F(RelayListTest, EmptyBlacklistFindsNothing) {
    LoadBlacklist("# none\n");
    std::string entry;
    EXPECT_FALSE(FindBlacklistedRelay("Received: from x [192.0.2.1]", entry));
}

}  // namespace
