#include "oauth/provider.h"

#include <strings.h>

#include "oauth/http.h"

namespace {

// The providers' published endpoints and the scope that lets a program read
// mail over POP3. No client id is built in: a provider ties an application
// registration to its owner, so each user registers a public client (no
// secret) of their own and passes its id with --client-id.
struct KnownProvider {
    const char* name;
    const char* deviceUrl;
    const char* tokenUrl;
    const char* scope;
};

constexpr KnownProvider kProviders[] = {
    // The "common" tenant takes personal and work accounts alike; a tenant
    // that admits only its own registrations needs its own endpoints
    // (--device-url, --token-url). offline_access is what brings a refresh
    // token; POP is the only mail protocol Trawlbox speaks upstream, so no
    // IMAP or SMTP scope is asked for.
    {"microsoft", "https://login.microsoftonline.com/common/oauth2/v2.0/devicecode",
     "https://login.microsoftonline.com/common/oauth2/v2.0/token",
     "https://outlook.office.com/POP.AccessAsUser.All offline_access"},
    // Google's device flow admits only a short list of scopes per client
    // type; when it refuses the mail scope, its error (invalid_scope) is
    // shown as it comes. Its token endpoint wants the client secret too,
    // even for an installed application (--client-secret).
    {"google", "https://oauth2.googleapis.com/device/code", "https://oauth2.googleapis.com/token",
     "https://mail.google.com/"},
    // Everything from the options.
    {"custom", "", "", ""},
};

std::string KnownNames() {
    std::string names;
    for (const KnownProvider& known : kProviders) {
        if (!names.empty()) names += ", ";
        names += known.name;
    }
    return names;
}

std::string Either(const std::string& given, const char* fallback) {
    return given.empty() ? std::string(fallback) : given;
}

}  // namespace

bool ResolveProvider(const ProviderChoice& choice, ProviderConfig& config, std::string& failure) {
    const KnownProvider* known = nullptr;
    for (const KnownProvider& candidate : kProviders) {
        if (::strcasecmp(candidate.name, choice.provider.c_str()) == 0) known = &candidate;
    }
    if (known == nullptr) {
        failure = "unknown provider \"" + choice.provider + "\" (known: " + KnownNames() + ")";
        return false;
    }
    config = ProviderConfig{
        Either(choice.deviceUrl, known->deviceUrl), Either(choice.tokenUrl, known->tokenUrl),
        Either(choice.scope, known->scope), choice.clientId, choice.clientSecret};
    if (config.clientId.empty()) {
        failure =
            "a client id is needed (--client-id): register an application with the "
            "provider and give its id";
        return false;
    }
    const struct {
        const std::string& value;
        const char* option;
    } required[] = {{config.deviceUrl, "--device-url"},
                    {config.tokenUrl, "--token-url"},
                    {config.scope, "--scope"}};
    for (const auto& item : required) {
        if (item.value.empty()) {
            failure = std::string("the provider ") + known->name + " needs " + item.option;
            return false;
        }
    }
    return EndpointAllowed(config.deviceUrl, failure) && EndpointAllowed(config.tokenUrl, failure);
}
