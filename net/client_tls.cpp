#include "net/client_tls.h"

#include <string>
#include <utility>

#include "core/log.h"
#include "platform/tls.h"

namespace {

constexpr int64_t kSecondsPerDay = 24 * 60 * 60;

TlsServerOptions OptionsOf(const SettingsRecord& settings) {
    return {settings.ClientTlsCert, settings.ClientTlsKey};
}

bool Named(const SettingsRecord& settings) {
    return !settings.ClientTlsCert.empty() && !settings.ClientTlsKey.empty();
}

}  // namespace

bool ClientTlsOffered() {
    return Named(Settings) && PrepareServerTls(OptionsOf(Settings)).empty();
}

bool PrepareClientTls() {
    if (!Named(Settings)) return false;
    const std::string failure = PrepareServerTls(OptionsOf(Settings));
    if (failure.empty()) return true;
    WriteLog("Client TLS not offered: " + failure, -1, kLogError);
    return false;
}

bool ClientMustStartTls(const Connection& client) {
    return Settings.ClientTlsRequired && !client.TlsActive();
}

bool SecureClient(Connection& client) {
    const std::string failure = client.SecureAsServer(OptionsOf(Settings));
    if (!failure.empty()) {
        WriteLog("Client TLS handshake failed: " + failure, client.slot(), kLogError);
        return false;
    }
    WriteLog("TLS established: " + client.TlsDescription(), client.slot(), kLogConnection);
    return true;
}

void ServeOverTls(Connection client, void (*body)(Connection client)) {
    if (!SecureClient(client)) {
        client.Close();
        client.Release();
        return;
    }
    body(std::move(client));
}

Problems CheckClientTls(const SettingsRecord& settings, std::string_view fileName) {
    Problems problems;
    auto add = [&](Severity severity, std::string text) {
        problems.push_back({std::string(fileName), 0, std::move(text), severity});
    };
    if (!Named(settings)) {
        if (!settings.ClientTlsCert.empty() || !settings.ClientTlsKey.empty()) {
            add(Severity::kError, "ClientTlsCert and ClientTlsKey must be given together");
        } else if (settings.Pop3sPortIncoming != 0 || settings.NntpsPortIncoming != 0) {
            add(Severity::kError,
                "Pop3sPortIncoming/NntpsPortIncoming need ClientTlsCert and ClientTlsKey");
        }
        return problems;
    }
    CertificateFacts facts;
    std::string failure;
    if (!ReadCertificateFacts(settings.ClientTlsCert, facts, failure)) {
        add(Severity::kError, failure);
        return problems;
    }
    add(Severity::kNote, "ClientTlsCert " + settings.ClientTlsCert + ": SHA-256 fingerprint " +
                             facts.fingerprint + ", valid until " + facts.notAfter);
    if (facts.secondsLeft <= 0) {
        add(Severity::kError, "ClientTlsCert " + settings.ClientTlsCert + " has expired");
    } else if (facts.secondsLeft < kCertificateWarnSeconds) {
        // Days begun count: a certificate of three days has three left.
        add(Severity::kWarning,
            "ClientTlsCert " + settings.ClientTlsCert + " expires in " +
                std::to_string((facts.secondsLeft + kSecondsPerDay - 1) / kSecondsPerDay) +
                " days");
    }
    failure = PrepareServerTls(OptionsOf(settings));
    if (!failure.empty()) add(Severity::kError, failure);
    return problems;
}
