// Files, the program's directory and the environment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Returns true when a file (not a directory) of that path exists.
bool FileExists(const std::string& path);

// Reads at most `limit` bytes from the start of the file into `out`.
// Returns false (and leaves `out` empty) when the file cannot be read.
bool ReadFilePrefix(const std::string& path, size_t limit, std::string& out);

// Returns true when a directory of that path exists.
bool DirectoryExists(const std::string& path);

// Makes an empty file that only its owner may read and write (mode 0600),
// unless something of that name exists already, which is left as it is.
// Returns true when the path exists afterwards; false, with the system's
// reason in `problem`, when the file could not be made.
bool EnsurePrivateFile(const std::string& path, std::string& problem);

// The device and inode of a file: tell a file replaced under the same name
// from the one seen before.
struct FileIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};

// Returns true and fills `identity` when the path can be examined; false
// when it is missing or out of reach.
bool IdentifyFile(const std::string& path, FileIdentity& identity);

// Renames the file, replacing any file of the new name. Returns false, with
// the system's reason in `problem`, when it could not be renamed.
bool RenameFile(const std::string& from, const std::string& to, std::string& problem);

// Removes the file. Returns true when it is gone afterwards (a missing file
// counts as removed); false when it is still there.
bool RemoveFile(const std::string& path);

// Returns the directory of the running executable, ending in "/", or "" when
// it cannot be found.
std::string ExecutableDirectory();

// Returns the value of an environment variable, or "" when it is unset.
std::string EnvironmentValue(const char* name);

// A file opened for appending and held exclusively: a second process (a
// second running copy of the program) cannot open the same file through this
// class while it is held. Move-only; closes on destruction.
class ExclusiveAppendFile {
  public:
    ExclusiveAppendFile() = default;
    ~ExclusiveAppendFile();
    ExclusiveAppendFile(ExclusiveAppendFile&& other) noexcept;
    ExclusiveAppendFile& operator=(ExclusiveAppendFile&& other) noexcept;
    ExclusiveAppendFile(const ExclusiveAppendFile&) = delete;
    ExclusiveAppendFile& operator=(const ExclusiveAppendFile&) = delete;

    // Opens (creating when missing) and locks the file. Returns false when it
    // cannot be opened or another holder has it.
    bool Open(const std::string& path);
    bool IsOpen() const { return fd_ >= 0; }
    // Appends the bytes with one write call. Returns false on failure.
    bool Append(const std::string& bytes);
    void Close();

  private:
    int fd_ = -1;
};
