// Files, the program's directory and the environment.
#pragma once

#include <cstddef>
#include <string>

// Returns true when a file (not a directory) of that path exists.
bool FileExists(const std::string& path);

// Reads at most `limit` bytes from the start of the file into `out`.
// Returns false (and leaves `out` empty) when the file cannot be read.
bool ReadFilePrefix(const std::string& path, size_t limit, std::string& out);

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
