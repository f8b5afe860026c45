// Files that only this user may read, replaced whole, and advisory locks that
// keep threads and separate processes from updating one of them at once.
#pragma once

#include <cstdint>
#include <string>

// Reads the whole file into `out` when it holds at most `limit` bytes.
// Returns kRead; kMissing (out empty) when no such file exists; kTooLarge
// when it holds more than `limit`; kFailed with the system's reason in
// `failure` when it cannot be opened or read.
enum class PrivateReadResult : int { kRead, kMissing, kTooLarge, kFailed };
PrivateReadResult ReadPrivateFile(const std::string& path, size_t limit, std::string& out,
                                  std::string& failure);

// Replaces the file with `bytes` so that a reader sees either the old or the
// new contents, also after a crash: a temporary file beside it (mode 0600)
// is written, flushed to disk and renamed over it, and the directory is
// flushed. Writers must serialise among themselves (FileByteLock); the
// temporary name is fixed. Returns true; false with the system's reason in
// `failure`, the old file then untouched and no temporary file left.
bool ReplacePrivateFile(const std::string& path, const std::string& bytes, std::string& failure);

// Creates the directory (one level, mode 0700) when it is missing. Returns
// true when it exists afterwards; false with the reason in `failure`.
bool EnsurePrivateDirectory(const std::string& path, std::string& failure);

// An exclusive advisory lock on one byte of a lock file. It is held by this
// object's own open file description, so it excludes other threads of this
// process as well as other processes, and closing some other descriptor of
// the same file does not drop it. Move-only; released on destruction.
class FileByteLock {
  public:
    FileByteLock() = default;
    ~FileByteLock();
    FileByteLock(FileByteLock&& other) noexcept;
    FileByteLock& operator=(FileByteLock&& other) noexcept;
    FileByteLock(const FileByteLock&) = delete;
    FileByteLock& operator=(const FileByteLock&) = delete;

    // Opens (creating it, mode 0600) the lock file and locks byte `offset`,
    // retrying for up to `waitMilliseconds`. Returns kLocked; kBusy when
    // another holder kept it all that time; kFailed with the reason in
    // `failure` when the file cannot be opened or locked. Releases a lock
    // still held first.
    enum class Result : int { kLocked, kBusy, kFailed };
    Result Acquire(const std::string& path, uint64_t offset, int waitMilliseconds,
                   std::string& failure);
    bool IsHeld() const { return fd_ >= 0; }
    void Release();

  private:
    int fd_ = -1;
};
