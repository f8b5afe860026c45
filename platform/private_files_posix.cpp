#include "platform/private_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/clock.h"

namespace {

// How often a busy lock is tried again while waiting for it.
constexpr int kLockRetryMilliseconds = 20;

std::string SystemReason(const char* what, const std::string& path) {
    return std::string(what) + " " + path + ": " + std::strerror(errno);
}

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

bool WriteAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

PrivateReadResult ReadPrivateFile(const std::string& path, size_t limit, std::string& out,
                                  std::string& failure) {
    out.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return PrivateReadResult::kMissing;
        failure = SystemReason("cannot open", path);
        return PrivateReadResult::kFailed;
    }
    char buffer[8192];
    PrivateReadResult result = PrivateReadResult::kRead;
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            failure = SystemReason("cannot read", path);
            result = PrivateReadResult::kFailed;
            break;
        }
        if (n == 0) break;
        if (out.size() + static_cast<size_t>(n) > limit) {
            result = PrivateReadResult::kTooLarge;
            break;
        }
        out.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    if (result != PrivateReadResult::kRead) out.clear();
    return result;
}

bool ReplacePrivateFile(const std::string& path, const std::string& bytes, std::string& failure) {
    const std::string temporary = path + ".new";
    // A temporary file left by a crash is stale: the caller holds the
    // writers' lock, so nobody else is writing it now.
    ::unlink(temporary.c_str());
    const int fd =
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        failure = SystemReason("cannot create", temporary);
        return false;
    }
    // The mode given to open is narrowed by the umask, never widened; say it
    // once more so that a lax umask cannot matter.
    bool written = ::fchmod(fd, 0600) == 0 && WriteAll(fd, bytes) && ::fsync(fd) == 0;
    if (!written) failure = SystemReason("cannot write", temporary);
    if (::close(fd) != 0 && written) {
        failure = SystemReason("cannot write", temporary);
        written = false;
    }
    if (written && ::rename(temporary.c_str(), path.c_str()) != 0) {
        failure = SystemReason("cannot replace", path);
        written = false;
    }
    if (!written) {
        ::unlink(temporary.c_str());
        return false;
    }
    // The rename itself is durable only once the directory is on disk.
    const std::string directory = DirectoryOf(path);
    const int dirFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

bool EnsurePrivateDirectory(const std::string& path, std::string& failure) {
    if (::mkdir(path.c_str(), 0700) == 0) return true;
    int error = errno;
    if (error == EEXIST) {
        struct stat info {};
        if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return true;
        error = ENOTDIR;
    }
    errno = error;
    failure = SystemReason("cannot create the directory", path);
    return false;
}

FileByteLock::~FileByteLock() {
    Release();
}

FileByteLock::FileByteLock(FileByteLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

FileByteLock& FileByteLock::operator=(FileByteLock&& other) noexcept {
    if (this != &other) {
        Release();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

FileByteLock::Result FileByteLock::Acquire(const std::string& path, uint64_t offset,
                                           int waitMilliseconds, std::string& failure) {
    Release();
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        failure = SystemReason("cannot open the lock file", path);
        return Result::kFailed;
    }
    struct flock range {};
    range.l_type = F_WRLCK;
    range.l_whence = SEEK_SET;
    range.l_start = static_cast<off_t>(offset);
    range.l_len = 1;
    // Locks of the open file description (not of the process): two threads
    // of one process exclude each other as two processes do.
    const int64_t deadline = MonotonicMilliseconds() + waitMilliseconds;
    for (;;) {
        if (::fcntl(fd, F_OFD_SETLK, &range) == 0) {
            fd_ = fd;
            return Result::kLocked;
        }
        if (errno != EAGAIN && errno != EACCES && errno != EINTR) {
            failure = SystemReason("cannot lock", path);
            ::close(fd);
            return Result::kFailed;
        }
        if (MonotonicMilliseconds() >= deadline) {
            ::close(fd);
            return Result::kBusy;
        }
        SleepMilliseconds(kLockRetryMilliseconds);
    }
}

void FileByteLock::Release() {
    // Closing the only descriptor of the description drops its locks.
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
}
