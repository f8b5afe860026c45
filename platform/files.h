// Files, the program's directory and the environment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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

// Makes a directory that only its owner may enter (mode 0700); its parent
// must exist. A directory made is written into its parent on the disk at
// once, so that what is then stored in it cannot be lost with it. A
// directory of that name that exists already is left as it is. Returns true
// when the directory exists afterwards; false, with the system's reason in
// `problem`, otherwise.
bool MakePrivateDirectory(const std::string& path, std::string& problem);

// Writes a directory's entries (a file created, renamed or removed in it) to
// the disk. Returns false, with the system's reason in `problem`, when that
// failed.
bool SyncDirectory(const std::string& path, std::string& problem);

// The names in a directory, "." and ".." left out, in no particular order.
// Returns false (and leaves `names` empty) when it cannot be read.
bool ListDirectory(const std::string& path, std::vector<std::string>& names);

// What ExamineFile finds out about a path (a symbolic link is examined
// itself, not followed).
struct FileFacts {
    bool regular = false;    // a plain file
    bool directory = false;  // a directory
    int64_t size = 0;        // bytes
    int64_t modified = 0;    // last written, seconds since 1970 (UTC)
};

// Returns false when the path is missing or out of reach.
bool ExamineFile(const std::string& path, FileFacts& facts);

// Returns the machine's host name, or "" when it cannot be found.
std::string HostName();

// Returns this process's id.
int64_t ProcessId();

// A new file written from start to end and then made durable: a file that
// must be whole on the disk before something else may happen (a copy kept
// before its original is deleted). Move-only; a file still open on
// destruction is closed as it is (the owner removes what it leaves behind).
class NewDurableFile {
  public:
    NewDurableFile() = default;
    ~NewDurableFile();
    NewDurableFile(NewDurableFile&& other) noexcept;
    NewDurableFile& operator=(NewDurableFile&& other) noexcept;
    NewDurableFile(const NewDurableFile&) = delete;
    NewDurableFile& operator=(const NewDurableFile&) = delete;

    // Creates the file with mode 0600. Refuses (false, with the system's
    // reason in `problem`) when anything of that name exists, a symbolic
    // link included. Closes what was open before.
    bool Create(const std::string& path, std::string& problem);
    bool IsOpen() const { return fd_ >= 0; }

    // Writes all the bytes. Returns false, with the system's reason (a full
    // disk, say) in `problem`, when not all were written.
    bool Write(std::string_view bytes, std::string& problem);

    // Writes the file's contents to the disk and closes it. Returns false,
    // with the system's reason in `problem`, when either failed; the file is
    // closed in any case.
    bool SyncAndClose(std::string& problem);

    void Close();

  private:
    int fd_ = -1;
};

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
    // cannot be opened or another holder has it, with the reason in
    // `problem` (the system's, or "held by another running copy").
    bool Open(const std::string& path, std::string& problem);
    bool Open(const std::string& path);
    bool IsOpen() const { return fd_ >= 0; }
    // Appends the bytes with one write call. Returns false on failure.
    bool Append(const std::string& bytes);
    void Close();

  private:
    int fd_ = -1;
};
