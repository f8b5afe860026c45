#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <utility>

bool FileExists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool DirectoryExists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

namespace {

std::string SystemReason(int code) {
    return std::error_code(code, std::generic_category()).message();
}

}  // namespace

bool EnsurePrivateFile(const std::string& path, std::string& problem) {
    // O_EXCL also refuses to follow a symbolic link planted under the name.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ::close(fd);
        return true;
    }
    if (errno == EEXIST) return true;
    problem = SystemReason(errno);
    return false;
}

bool IdentifyFile(const std::string& path, FileIdentity& identity) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return false;
    identity.device = static_cast<uint64_t>(info.st_dev);
    identity.inode = static_cast<uint64_t>(info.st_ino);
    return true;
}

bool RenameFile(const std::string& from, const std::string& to, std::string& problem) {
    if (::rename(from.c_str(), to.c_str()) == 0) return true;
    problem = SystemReason(errno);
    return false;
}

bool RemoveFile(const std::string& path) {
    return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

bool ReadFilePrefix(const std::string& path, size_t limit, std::string& out) {
    out.clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    out.resize(limit);
    size_t got = 0;
    while (got < limit) {
        ssize_t n = ::read(fd, out.data() + got, limit - got);
        if (n < 0) {
            ::close(fd);
            out.clear();
            return false;
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    out.resize(got);
    return true;
}

bool MakePrivateDirectory(const std::string& path, std::string& problem) {
    if (::mkdir(path.c_str(), 0700) == 0) {
        std::string parent = path;
        while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
        size_t slash = parent.rfind('/');
        parent = slash == std::string::npos ? "." : slash == 0 ? "/" : parent.substr(0, slash);
        return SyncDirectory(parent, problem);
    }
    int code = errno;
    if (code == EEXIST && DirectoryExists(path)) return true;
    problem = SystemReason(code);
    return false;
}

bool SyncDirectory(const std::string& path, std::string& problem) {
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        problem = SystemReason(errno);
        return false;
    }
    bool synced = ::fsync(fd) == 0;
    if (!synced) problem = SystemReason(errno);
    ::close(fd);
    return synced;
}

bool ListDirectory(const std::string& path, std::vector<std::string>& names) {
    names.clear();
    DIR* directory = ::opendir(path.c_str());
    if (directory == nullptr) return false;
    while (const dirent* entry = ::readdir(directory)) {
        std::string_view name = entry->d_name;
        if (name != "." && name != "..") names.emplace_back(name);
    }
    ::closedir(directory);
    return true;
}

bool ExamineFile(const std::string& path, FileFacts& facts) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return false;
    facts.regular = S_ISREG(info.st_mode);
    facts.directory = S_ISDIR(info.st_mode);
    facts.size = static_cast<int64_t>(info.st_size);
    facts.modified = static_cast<int64_t>(info.st_mtim.tv_sec);
    return true;
}

std::string HostName() {
    char buffer[256] = {};
    if (::gethostname(buffer, sizeof buffer - 1) != 0) return {};
    return buffer;
}

int64_t ProcessId() {
    return static_cast<int64_t>(::getpid());
}

NewDurableFile::~NewDurableFile() {
    Close();
}

NewDurableFile::NewDurableFile(NewDurableFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)) {}

NewDurableFile& NewDurableFile::operator=(NewDurableFile&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

bool NewDurableFile::Create(const std::string& path, std::string& problem) {
    Close();
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd_ >= 0) return true;
    problem = SystemReason(errno);
    return false;
}

bool NewDurableFile::Write(std::string_view bytes, std::string& problem) {
    if (fd_ < 0) {
        problem = SystemReason(EBADF);
        return false;
    }
    while (!bytes.empty()) {
        ssize_t n = ::write(fd_, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // A short write that makes no progress is a full disk.
            problem = SystemReason(n < 0 ? errno : ENOSPC);
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

bool NewDurableFile::SyncAndClose(std::string& problem) {
    if (fd_ < 0) {
        problem = SystemReason(EBADF);
        return false;
    }
    bool done = ::fsync(fd_) == 0;
    if (!done) problem = SystemReason(errno);
    // Some file systems report a failed write-back only at close.
    if (::close(std::exchange(fd_, -1)) != 0 && done) {
        problem = SystemReason(errno);
        done = false;
    }
    return done;
}

void NewDurableFile::Close() {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
}

std::string ExecutableDirectory() {
    char buffer[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return {};
    std::string path(buffer, static_cast<size_t>(n));
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string EnvironmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

ExclusiveAppendFile::~ExclusiveAppendFile() {
    Close();
}

ExclusiveAppendFile::ExclusiveAppendFile(ExclusiveAppendFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)) {}

ExclusiveAppendFile& ExclusiveAppendFile::operator=(ExclusiveAppendFile&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

bool ExclusiveAppendFile::Open(const std::string& path) {
    std::string problem;
    return Open(path, problem);
}

bool ExclusiveAppendFile::Open(const std::string& path, std::string& problem) {
    Close();
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        problem = SystemReason(errno);
        return false;
    }
    // An advisory lock stands in for the unshared open: every copy of the
    // program takes it, so two copies never write one log.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        problem = errno == EWOULDBLOCK ? "held by another running copy" : SystemReason(errno);
        ::close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

bool ExclusiveAppendFile::Append(const std::string& bytes) {
    if (fd_ < 0) return false;
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void ExclusiveAppendFile::Close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}
