#include "platform/files.h"

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
    Close();
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    // An advisory lock stands in for the unshared open: every copy of the
    // program takes it, so two copies never write one log.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
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
