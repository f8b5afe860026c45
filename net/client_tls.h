// TLS towards the proxy's own clients (mail programs and news readers),
// with the certificate and key the settings name (ClientTlsCert,
// ClientTlsKey): whether it is offered, the handshake of an accepted
// client, and what a check says about the certificate.
#pragma once

#include <string_view>

#include "core/problems.h"
#include "core/settings.h"
#include "net/connection.h"

// A certificate that ends within this time is warned about, so that there
// is time to make a new one before mail programs refuse the proxy.
inline constexpr int64_t kCertificateWarnSeconds = 14 * 24 * 60 * 60;

// Returns true when ClientTlsCert and ClientTlsKey are both named and make
// a working server set-up; false otherwise (a broken pair is logged once
// by PrepareClientTls).
bool ClientTlsOffered();

// Reads the certificate and key at start-up and logs, at level 1, why TLS
// cannot be offered when they are named but unusable. Returns
// ClientTlsOffered().
bool PrepareClientTls();

// Returns true when the client must start TLS before it may log in:
// ClientTlsRequired is set and the client does not speak TLS yet.
bool ClientMustStartTls(const Connection& client);

// Runs the server side of the handshake on the client's connection. Logs
// "TLS established: " with version and cipher (level 9) and returns true;
// logs "Client TLS handshake failed: " and the reason (level 1) and returns
// false, the link marked failed, when it did not come about.
bool SecureClient(Connection& client);

// The session body of an implicit-TLS listener: runs the handshake on the
// accepted client, then `body` over TLS; a client that fails the handshake
// is closed and released without a word.
void ServeOverTls(Connection client, void (*body)(Connection client));

// What `trawlbox check` says about the client-side TLS settings, each as a
// problem of the settings file `fileName`: a note with the certificate's
// SHA-256 fingerprint and its end of validity; an error when a file cannot
// be read, the key does not belong to the certificate, the certificate has
// expired, only one of the two keys is given, or an implicit-TLS port is
// set without them; a warning when the certificate ends within
// kCertificateWarnSeconds. Empty when no client TLS is configured.
Problems CheckClientTls(const SettingsRecord& settings, std::string_view fileName);
