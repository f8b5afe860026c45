// Delivery of one message into a Maildir, the folder format every mail
// program and mail server reads: the message is written under a unique name
// in tmp/, made durable, and only then renamed into new/, so that a reader
// never sees half a message and a crash leaves at most a file in tmp/.
//
// The message is fed line by line as a POP3 RETR answer delivers it: each
// line without its CR LF and already dot-unstuffed. It is stored with LF
// line ends, the Maildir convention, so that any Maildir reader opens it;
// the bytes then equal the file a Maildir-based server keeps for the same
// message. A line that holds a bare LF reads back as two lines.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/files.h"

// Lines are collected up to this many bytes before one write: a handful of
// system calls per megabyte, and a small buffer per session.
inline constexpr size_t kMaildirWriteBufferBytes = 64 * 1024;

// The subfolders of a Maildir.
inline constexpr std::string_view kMaildirNew = "new";
inline constexpr std::string_view kMaildirCur = "cur";
inline constexpr std::string_view kMaildirTmp = "tmp";

// Makes `maildir` and its cur/, new/ and tmp/ (mode 0700) where they are
// missing; its parent must exist. Returns false, with the reason in
// `problem`, when one of them cannot be made.
bool MakeMaildir(const std::string& maildir, std::string& problem);

// Returns a name no other delivery uses: "<seconds>.M<microseconds>P<process>
// Q<delivery>.<host>", the delivery counted across all threads of the
// process, "/" and ":" in the host name written as "\057" and "\072".
std::string UniqueMaildirName();

// True when the name is one that UniqueMaildirName makes (on any host), with
// or without the ":2,..." flags a mail program appends in cur/.
bool IsOwnMaildirName(std::string_view name);

// One message being delivered. Not copyable or movable; an unfinished
// delivery is abandoned on destruction (its file in tmp/ removed).
class MaildirDelivery {
  public:
    MaildirDelivery() = default;
    ~MaildirDelivery();
    MaildirDelivery(const MaildirDelivery&) = delete;
    MaildirDelivery& operator=(const MaildirDelivery&) = delete;

    // Begins a message in `maildir` (made with MakeMaildir where missing):
    // a new file, mode 0600, in its tmp/. `maxOctets` above 0 caps the
    // message's Size(). Returns false, with Problem(), when the folder or the
    // file cannot be made; nothing is left behind then. A delivery begun
    // before is abandoned first.
    bool Begin(const std::string& maildir, int64_t maxOctets = 0);

    // Adds one line (without its line end). Returns false when writing
    // failed (a full disk, say) or the message grew beyond the cap; the
    // delivery is then abandoned, Problem() says why, and later calls do
    // nothing and return false.
    bool AddLine(std::string_view line);

    // Puts the message safely into new/: its file is written to the disk,
    // renamed into new/, and new/ is written to the disk. Returns true only
    // when all of that succeeded; false, with Problem(), when it failed or no
    // delivery was under way, and then nothing is left behind.
    bool Finish();

    // Abandons the message: the file in tmp/ is removed. Harmless at any
    // time; a finished message stays.
    void Abort();

    // After a successful Finish: the file's path inside the Maildir,
    // "new/<unique name>"; "" otherwise.
    const std::string& DeliveredName() const { return delivered_; }

    // The Maildir given to the last Begin.
    const std::string& Maildir() const { return maildir_; }

    // The message's size in octets counted with CR LF line ends, as POP3's
    // LIST counts it (the lines added so far).
    int64_t Size() const { return size_; }

    // Why the last call failed, fit for the log; "" when nothing failed.
    const std::string& Problem() const { return problem_; }

  private:
    bool Fail(std::string why);
    bool Flush();

    NewDurableFile file_;
    std::string maildir_;
    std::string name_;
    std::string buffer_;
    std::string delivered_;
    std::string problem_;
    int64_t maxOctets_ = 0;
    int64_t size_ = 0;
    bool writing_ = false;
};
