#include "oauth/provider.h"

#include <strings.h>

namespace {

// The providers' published endpoints and the scope that lets a program read
// mail over POP3. No client id is built in: a provider ties an application
// registration to its owner, so each user registers a client of their own
// and passes its id with --client-id.
struct KnownProvider {
    const char* name;
    const char* deviceUrl;
    const char* tokenUrl;
    const char* scope;
    const char* authUrl;
    GrantKind usualGrant;
    FormFields authorizationExtras;  // beyond RFC 6749's fields
};

const KnownProvider kProviders[] = {
    // The "common" tenant takes personal and work accounts alike; a tenant
    // that admits only its own registrations needs its own endpoints
    // (--device-url, --token-url, --auth-url). offline_access is what
    // brings a refresh token; POP is the only mail protocol Trawlbox speaks
    // upstream, so no IMAP or SMTP scope is asked for.
    {"microsoft",
     "https://login.microsoftonline.com/common/oauth2/v2.0/devicecode",
     "https://login.microsoftonline.com/common/oauth2/v2.0/token",
     "https://outlook.office.com/POP.AccessAsUser.All offline_access",
     "https://login.microsoftonline.com/common/oauth2/v2.0/authorize",
     GrantKind::kDevice,
     {}},
    // Google grants the mail scope to installed programs only by the code
    // grant with a loopback redirect; its device grant answers
    // invalid_scope. A refresh token comes only with access_type=offline,
    // and on a second grant of the same account only with prompt=consent.
    // Its token endpoint wants the client secret of the Desktop app client
    // too (--client-secret).
    {"google",
     "https://oauth2.googleapis.com/device/code",
     "https://oauth2.googleapis.com/token",
     "https://mail.google.com/",
     "https://accounts.google.com/o/oauth2/v2/auth",
     GrantKind::kCode,
     {{"access_type", "offline"}, {"prompt", "consent"}}},
    // Everything from the options.
    {"custom", "", "", "", "", GrantKind::kDevice, {}},
};

struct GrantName {
    const char* name;
    GrantKind kind;
};

constexpr GrantName kGrantNames[] = {
    {"device", GrantKind::kDevice},
    {"code", GrantKind::kCode},
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

// Returns true with the grant the user named, or the provider's usual one;
// false with the reason in `failure` when the name is unknown.
bool ChooseGrant(const ProviderChoice& choice, const KnownProvider& known, GrantKind& grant,
                 std::string& failure) {
    if (choice.grant.empty()) {
        // A custom provider given only an authorization endpoint can mean
        // nothing but the code grant.
        const bool onlyAuthorization =
            known.deviceUrl[0] == '\0' && !choice.authUrl.empty() && choice.deviceUrl.empty();
        grant = onlyAuthorization ? GrantKind::kCode : known.usualGrant;
        return true;
    }
    for (const GrantName& candidate : kGrantNames) {
        if (::strcasecmp(candidate.name, choice.grant.c_str()) == 0) {
            grant = candidate.kind;
            return true;
        }
    }
    failure = "unknown grant \"" + choice.grant + "\" (known: device, code)";
    return false;
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
    config.authUrl = Either(choice.authUrl, known->authUrl);
    config.authorizationExtras = known->authorizationExtras;
    if (!ChooseGrant(choice, *known, config.grant, failure)) return false;
    if (config.clientId.empty()) {
        failure =
            "a client id is needed (--client-id): register an application with the "
            "provider and give its id";
        return false;
    }
    // Each grant needs its first endpoint; the other one is not used.
    const bool code = config.grant == GrantKind::kCode;
    const struct {
        const std::string& value;
        const char* option;
    } required[] = {
        {code ? config.authUrl : config.deviceUrl, code ? "--auth-url" : "--device-url"},
        {config.tokenUrl, "--token-url"},
        {config.scope, "--scope"}};
    for (const auto& item : required) {
        if (item.value.empty()) {
            failure = std::string("the provider ") + known->name + " needs " + item.option +
                      (code ? " for the code grant" : "");
            return false;
        }
    }
    return EndpointAllowed(required[0].value, failure) && EndpointAllowed(config.tokenUrl, failure);
}
