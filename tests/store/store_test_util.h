// Helpers of the state database tests: directories, another program's view
// of the file, and file permissions that bind even for root.
#pragma once

#include <sqlite3.h>
#include <sys/fsuid.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "core/temp_dir.h"
#include "store/header_cache.h"
#include "store/state_database.h"

// A fresh directory for one test, inside one directory kept for the whole
// program: the state database knows a file by its directory's inode, which a
// removed directory would hand on to the next test's.
inline std::string FreshDirectory() {
    static TempDir root;
    static std::atomic<int> counter{0};
    // Reachable by the unprivileged user of UnprivilegedFiles.
    std::filesystem::permissions(root.path(), std::filesystem::perms(0755));
    std::string path = root.path() + "d" + std::to_string(counter++) + "/";
    std::filesystem::create_directory(path);
    return path;
}

inline std::string DatabasePath(const std::string& directory) {
    return directory + std::string(kStateDatabaseName);
}

inline std::string FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// Overwrites the file from `offset` to its end with a pattern, keeping its
// length (damage below the first page, which holds the schema).
inline void Scribble(const std::string& path, size_t offset) {
    std::string bytes = FileBytes(path);
    for (size_t i = offset; i < bytes.size(); ++i) bytes[i] = static_cast<char>(0x55 ^ (i & 0x0f));
    WriteBytes(path, bytes);
}

// Another program's connection to the file, without this program's checks.
class RawConnection {
  public:
    explicit RawConnection(const std::string& path) {
        if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) {
            sqlite3_close(db_);
            db_ = nullptr;
        }
    }
    ~RawConnection() { sqlite3_close(db_); }
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    // Runs SQL; returns "" or SQLite's error text.
    std::string Run(const std::string& sql) {
        if (db_ == nullptr) return "not open";
        char* error = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) == SQLITE_OK) return {};
        std::string text = error ? error : "failed";
        sqlite3_free(error);
        return text;
    }

    // The first column of the first row as text, or "" when there is none.
    std::string Query(const std::string& sql) {
        std::string value;
        sqlite3_stmt* statement = nullptr;
        if (db_ && sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW) {
            const unsigned char* text = sqlite3_column_text(statement, 0);
            if (text) value = reinterpret_cast<const char*>(text);
        }
        sqlite3_finalize(statement);
        return value;
    }

  private:
    sqlite3* db_ = nullptr;
};

// While it lives, this thread's file accesses are checked as an
// unprivileged user's: when the tests run as root, a file's mode binds only
// then (the file-system uid is per thread on Linux, and leaving uid 0 drops
// the override capabilities with it).
class UnprivilegedFiles {
  public:
    static constexpr uid_t kNobody = 65534;
    UnprivilegedFiles() : switched_(::geteuid() == 0) {
        if (switched_) ::setfsuid(kNobody);
    }
    ~UnprivilegedFiles() {
        if (switched_) ::setfsuid(0);
    }
    UnprivilegedFiles(const UnprivilegedFiles&) = delete;
    UnprivilegedFiles& operator=(const UnprivilegedFiles&) = delete;

  private:
    bool switched_;
};

// An entry with `lines` generated lines that name the id.
inline CachedHeader MakeEntry(const std::string& uidl, size_t lines = 12, int64_t size = 4321) {
    CachedHeader entry;
    entry.uidl = uidl;
    entry.size = size;
    for (size_t i = 0; i < lines; ++i) {
        entry.lines.push_back(i == 0 ? "Received: from mx.example.net by " + uidl
                                     : "X-Line-" + std::to_string(i) + ": value of " + uidl);
    }
    return entry;
}
