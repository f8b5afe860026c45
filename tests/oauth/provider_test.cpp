#include "oauth/provider.h"

#include <gtest/gtest.h>

namespace {

TEST(ResolveProviderTest, PublishedEndpointsAndMailScopes) {
    const struct {
        const char* name;
        const char* deviceUrl;
        const char* tokenUrl;
        const char* scope;
    } cases[] = {
        {"microsoft", "https://login.microsoftonline.com/common/oauth2/v2.0/devicecode",
         "https://login.microsoftonline.com/common/oauth2/v2.0/token",
         "https://outlook.office.com/POP.AccessAsUser.All offline_access"},
        {"Google", "https://oauth2.googleapis.com/device/code",
         "https://oauth2.googleapis.com/token", "https://mail.google.com/"},
    };
    for (const auto& c : cases) {
        ProviderConfig config;
        std::string failure;
        ASSERT_TRUE(ResolveProvider({c.name, "id-1", "secret-1", "", "", ""}, config, failure))
            << c.name << ": " << failure;
        EXPECT_EQ(config.deviceUrl, c.deviceUrl);
        EXPECT_EQ(config.tokenUrl, c.tokenUrl);
        EXPECT_EQ(config.scope, c.scope);
        EXPECT_EQ(config.clientId, "id-1");
        EXPECT_EQ(config.clientSecret, "secret-1");
    }
}

TEST(ResolveProviderTest, OptionsReplaceDefaults) {
    // A tenant of its own has its own endpoints.
    ProviderConfig config;
    std::string failure;
    ASSERT_TRUE(ResolveProvider({"microsoft", "id", "", "https://login.example.org/t/devicecode",
                                 "https://login.example.org/t/token", "custom.scope"},
                                config, failure))
        << failure;
    EXPECT_EQ(config.deviceUrl, "https://login.example.org/t/devicecode");
    EXPECT_EQ(config.tokenUrl, "https://login.example.org/t/token");
    EXPECT_EQ(config.scope, "custom.scope");
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
    };
    for (const auto& c : cases) {
        ProviderConfig config;
        std::string failure;
        EXPECT_FALSE(ResolveProvider(c.choice, config, failure)) << c.choice.provider;
        EXPECT_EQ(failure, c.failure);
    }
}

TEST(ResolveProviderTest, CustomOnLoopback) {
    ProviderConfig config;
    std::string failure;
    EXPECT_TRUE(ResolveProvider({"custom", "id", "", "http://127.0.0.1:9/device",
                                 "http://127.0.0.1:9/token", "mail offline_access"},
                                config, failure))
        << failure;
}

}  // namespace
