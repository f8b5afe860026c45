// Messages released from the quarantine (`trawlbox release`), handed back to
// their account's mail program at its next login: after the server's
// messages and before the kill report, as ordinary messages that the kill
// file does not judge again. A released message that the client deletes
// leaves the quarantine at its QUIT; one it leaves is offered again at the
// next login, as mail left on a server is.
#pragma once

#include "pop3/mailbox_view.h"

// At most this many octets of released messages are handed back in one
// login, since the session holds them in memory; the rest wait for the next.
inline constexpr int64_t kMaxReleasedOctetsPerLogin = 256 * 1024 * 1024;

// Appends the account's released messages (oldest kill first) to the view
// with AppendReleasedMessage; after CountShownMessages, before the report.
// Nothing while no quarantine is kept. A copy that cannot be read is logged
// (level 2) and left for the next login.
void OfferReleasedMessages(Pop3Session& session);

// Removes from the quarantine the released messages the client deleted;
// once the client's QUIT has reached the server. Failures are logged
// (level 2); the copy is then offered again.
void ForgetDeletedReleases(const Pop3Session& session);
