#include "oauth/provider.h"

#include <gtest/gtest.h>

namespace {

TEST(ResolveProviderTest, OptionsReplaceDefaults) {
    // A tenant of its own has its own endpoints; a provider on loopback may
    // speak plain http.
    ProviderConfig config;
    std::string failure;
    ASSERT_TRUE(ResolveProvider({"Microsoft", "id", "", "http://127.0.0.1:9/devicecode",
                                 "https://login.example.org/t/token", ""},
                                config, failure))
        << failure;
    EXPECT_EQ(config.deviceUrl, "http://127.0.0.1:9/devicecode");
    EXPECT_EQ(config.tokenUrl, "https://login.example.org/t/token");
    EXPECT_EQ(config.scope, "https://outlook.office.com/POP.AccessAsUser.All offline_access");
    EXPECT_EQ(config.grant, GrantKind::kDevice);
}

TEST(ResolveProviderTest, GrantChosenByProviderOrOption) {
    ProviderConfig config;
    std::string failure;
    // Google grants the mail scope only by the code grant, and gives a
    // refresh token only when asked for offline access.
    ASSERT_TRUE(ResolveProvider({"google", "id", "secret", "", "", ""}, config, failure))
        << failure;
    EXPECT_EQ(config.grant, GrantKind::kCode);
    EXPECT_EQ(config.authUrl, "https://accounts.google.com/o/oauth2/v2/auth");
    EXPECT_EQ(config.authorizationExtras,
              (FormFields{{"access_type", "offline"}, {"prompt", "consent"}}));

    ASSERT_TRUE(ResolveProvider({"microsoft", "id", "", "", "", "", "", "CODE"}, config, failure))
        << failure;
    EXPECT_EQ(config.grant, GrantKind::kCode);
    EXPECT_EQ(config.authUrl, "https://login.microsoftonline.com/common/oauth2/v2.0/authorize");

    // A custom provider with an authorization endpoint and no device one.
    ASSERT_TRUE(ResolveProvider({"custom", "id", "", "", "https://idp.example.org/token", "mail",
                                 "https://idp.example.org/authorize"},
                                config, failure))
        << failure;
    EXPECT_EQ(config.grant, GrantKind::kCode);
}

TEST(ResolveProviderTest, RefusalsWordForWord) {
    const struct {
        ProviderChoice choice;
        const char* failure;
    } cases[] = {
        {{"yahoo", "id", "", "", "", ""},
         "unknown provider \"yahoo\" (known: microsoft, google, custom)"},
        {{"google", "", "", "", "", ""},
         "a client id is needed (--client-id): register an application with the provider and "
         "give its id"},
        {{"custom", "id", "", "", "https://idp.example.org/token", "mail"},
         "the provider custom needs --device-url"},
        {{"custom", "id", "", "https://idp.example.org/device", "", "mail"},
         "the provider custom needs --token-url"},
        {{"custom", "id", "", "https://idp.example.org/device", "https://idp.example.org/token",
          ""},
         "the provider custom needs --scope"},
        {{"custom", "id", "", "http://idp.example.org/device", "https://idp.example.org/token",
          "m"},
         "the endpoint http://idp.example.org/device must use https (plain http only to a loopback "
         "address)"},
        {{"microsoft", "id", "", "", "http://idp.example.org/token", ""},
         "the endpoint http://idp.example.org/token must use https (plain http only to a loopback "
         "address)"},
        {{"google", "id", "", "", "", "", "", "implicit"},
         "unknown grant \"implicit\" (known: device, code)"},
        {{"custom", "id", "", "https://idp.example.org/device", "https://idp.example.org/token",
          "mail", "", "code"},
         "the provider custom needs --auth-url for the code grant"},
        {{"custom", "id", "", "", "https://idp.example.org/token", "mail",
          "http://idp.example.org/authorize"},
         "the endpoint http://idp.example.org/authorize must use https (plain http only to a "
         "loopback address)"},
    };
    for (const auto& c : cases) {
        ProviderConfig config;
        std::string failure;
        EXPECT_FALSE(ResolveProvider(c.choice, config, failure)) << c.choice.provider;
        EXPECT_EQ(failure, c.failure);
    }
}

}  // namespace
