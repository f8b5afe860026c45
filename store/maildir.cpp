#include "store/maildir.h"

#include <atomic>
#include <chrono>

namespace {

// Counts deliveries across the threads of the process: with the process id
// it tells apart two messages begun in the same microsecond.
std::atomic<uint64_t> deliveries{0};

std::string Joined(const std::string& directory, std::string_view name) {
    std::string path = directory;
    if (!path.empty() && path.back() != '/') path += '/';
    path += name;
    return path;
}

// Maildir readers split the name at "/" (a path) and ":" (the flags).
std::string MaildirHostPart(std::string_view host) {
    std::string part;
    for (char c : host) {
        if (c == '/') {
            part += "\\057";
        } else if (c == ':') {
            part += "\\072";
        } else {
            part += c;
        }
    }
    return part.empty() ? std::string("localhost") : part;
}

// Consumes "<letter><digits>" at the front of `text`; false when it is not there.
bool TakeNumbered(std::string_view& text, char letter) {
    if (text.empty() || text.front() != letter) return false;
    text.remove_prefix(1);
    size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
    text.remove_prefix(digits);
    return digits > 0;
}

}  // namespace

bool MakeMaildir(const std::string& maildir, std::string& problem) {
    std::string reason;
    if (!MakePrivateDirectory(maildir, reason)) {
        problem = "cannot make the folder " + maildir + ": " + reason;
        return false;
    }
    for (std::string_view sub : {kMaildirTmp, kMaildirNew, kMaildirCur}) {
        std::string path = Joined(maildir, sub);
        if (!MakePrivateDirectory(path, reason)) {
            problem = "cannot make the folder " + path + ": " + reason;
            return false;
        }
    }
    return true;
}

std::string UniqueMaildirName() {
    using namespace std::chrono;
    int64_t micros = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    return std::to_string(micros / 1000000) + ".M" + std::to_string(micros % 1000000) + "P" +
           std::to_string(ProcessId()) + "Q" + std::to_string(++deliveries) + "." +
           MaildirHostPart(HostName());
}

bool IsOwnMaildirName(std::string_view name) {
    size_t digits = 0;
    while (digits < name.size() && name[digits] >= '0' && name[digits] <= '9') ++digits;
    if (digits == 0 || digits >= name.size() || name[digits] != '.') return false;
    name.remove_prefix(digits + 1);
    return TakeNumbered(name, 'M') && TakeNumbered(name, 'P') && TakeNumbered(name, 'Q') &&
           name.size() > 1 && name.front() == '.' && name.find('/') == std::string_view::npos;
}

MaildirDelivery::~MaildirDelivery() {
    Abort();
}

bool MaildirDelivery::Begin(const std::string& maildir, int64_t maxOctets) {
    Abort();
    problem_.clear();
    delivered_.clear();
    maildir_ = maildir;
    maxOctets_ = maxOctets;
    size_ = 0;
    buffer_.clear();
    if (!MakeMaildir(maildir, problem_)) return false;
    name_ = UniqueMaildirName();
    std::string reason;
    std::string path = Joined(Joined(maildir_, kMaildirTmp), name_);
    if (!file_.Create(path, reason)) {
        problem_ = "cannot create " + path + ": " + reason;
        return false;
    }
    writing_ = true;
    buffer_.reserve(kMaildirWriteBufferBytes);
    return true;
}

bool MaildirDelivery::AddLine(std::string_view line) {
    if (!writing_) return false;
    int64_t grown = size_ + static_cast<int64_t>(line.size()) + 2;
    if (maxOctets_ > 0 && grown > maxOctets_) {
        return Fail("the message is larger than " + std::to_string(maxOctets_) + " octets");
    }
    size_ = grown;
    buffer_ += line;
    buffer_ += '\n';
    return buffer_.size() < kMaildirWriteBufferBytes || Flush();
}

bool MaildirDelivery::Flush() {
    std::string reason;
    if (!file_.Write(buffer_, reason)) {
        return Fail("writing " + Joined(Joined(maildir_, kMaildirTmp), name_) +
                    " failed: " + reason);
    }
    buffer_.clear();
    return true;
}

bool MaildirDelivery::Finish() {
    if (!writing_) {
        if (problem_.empty()) problem_ = "no message is being written";
        return false;
    }
    if (!buffer_.empty() && !Flush()) return false;
    std::string tmp = Joined(Joined(maildir_, kMaildirTmp), name_);
    std::string newDirectory = Joined(maildir_, kMaildirNew);
    std::string reason;
    if (!file_.SyncAndClose(reason))
        return Fail("writing " + tmp + " to the disk failed: " + reason);
    if (!RenameFile(tmp, Joined(newDirectory, name_), reason)) {
        return Fail("moving " + tmp + " into new/ failed: " + reason);
    }
    writing_ = false;
    // The rename is durable only once the directory is: until then a crash
    // could lose the message while its original is already deleted.
    if (!SyncDirectory(newDirectory, reason)) {
        RemoveFile(Joined(newDirectory, name_));
        problem_ = "writing the folder " + newDirectory + " to the disk failed: " + reason;
        return false;
    }
    delivered_ = Joined(std::string(kMaildirNew), name_);
    return true;
}

void MaildirDelivery::Abort() {
    if (!writing_) return;
    writing_ = false;
    file_.Close();
    RemoveFile(Joined(Joined(maildir_, kMaildirTmp), name_));
    buffer_.clear();
    buffer_.shrink_to_fit();
}

bool MaildirDelivery::Fail(std::string why) {
    Abort();
    problem_ = std::move(why);
    return false;
}
