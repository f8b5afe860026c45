// Kill reports carried over to the next login. A client that leaves while
// its login is being scanned (or whose scan ends with the server lost) never
// sees the report of what the scan did; its entries are kept in the state
// database (store/pending_reports.h) and put in front of the report of the
// account's next login, so that no kill goes unreported. Only while a
// quarantine is kept (QuarantineDirectory not ""), like the copies.
#pragma once

#include "pop3/mailbox_view.h"

// Keeps the entries of session.killReport (not yet completed) for the next
// login of the account; nothing when there are none. A failure is logged
// (level 2) and the entries are lost then.
void KeepUnreadReport(const Pop3Session& session);

// Puts the entries kept for the account, oldest first, in front of
// session.killReport, each report under a line that says when its login was.
// Before CountShownMessages, so that the report is appended. A failure is
// logged (level 2); the kept entries stay for the next login then.
void TakeUnreadReports(Pop3Session& session);
