#include "store/maildir.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "core/text.h"
#include "store_test_util.h"

namespace {

unsigned ModeOf(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0xffff;
}

std::vector<std::string> FilesIn(const std::string& directory) {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(directory, ignored)) {
        names.push_back(entry.path().filename().string());
    }
    return names;
}

// What the file must hold after the lines were fed.
std::string Stored(const std::vector<std::string>& lines) {
    std::string bytes;
    for (const std::string& line : lines) bytes += line + "\n";
    return bytes;
}

int64_t WireSize(const std::vector<std::string>& lines) {
    int64_t size = 0;
    for (const std::string& line : lines) size += static_cast<int64_t>(line.size()) + 2;
    return size;
}

// Delivers the lines and returns the stored file's path ("" on failure).
std::string Deliver(const std::string& maildir, const std::vector<std::string>& lines,
                    MaildirDelivery& delivery) {
    if (!delivery.Begin(maildir)) return {};
    for (const std::string& line : lines) {
        if (!delivery.AddLine(line)) return {};
    }
    if (!delivery.Finish()) return {};
    return maildir + "/" + delivery.DeliveredName();
}

// The maildir holds nothing in tmp/ and new/.
void ExpectNothingLeft(const std::string& maildir) {
    EXPECT_TRUE(FilesIn(maildir + "/tmp").empty());
    EXPECT_TRUE(FilesIn(maildir + "/new").empty());
}

TEST(Maildir, StoredBytesAreTheLinesWithLineFeeds) {
    const std::vector<std::vector<std::string>> messages = {
        // Lines the caller has dot-unstuffed: they begin with dots now.
        {"Subject: dots", "", ".", "..", ". not the end", ".\t", "From the start"},
        // Every byte value but the line feed, inside one line and alone.
        [] {
            std::string all;
            for (int c = 0; c < 256; ++c) {
                if (c != '\n') all += static_cast<char>(c);
            }
            return std::vector<std::string>{"X-Bytes: 8bit", "", all, "\xff\xfe\x80", "a\rb\r"};
        }(),
        // Lines far longer than the write buffer, and an empty message.
        {std::string(3 * kMaildirWriteBufferBytes + 17, 'x'), "", std::string(1000, '\xe4')},
        {},
    };
    std::string maildir = FreshDirectory() + "box";
    for (const std::vector<std::string>& lines : messages) {
        MaildirDelivery delivery;
        std::string path = Deliver(maildir, lines, delivery);
        ASSERT_FALSE(path.empty()) << delivery.Problem();
        EXPECT_TRUE(FileBytes(path) == Stored(lines));
        EXPECT_EQ(delivery.Size(), WireSize(lines));
        EXPECT_EQ(ModeOf(path), 0600u);
        EXPECT_TRUE(StartsWith(delivery.DeliveredName(), "new/"));
        EXPECT_TRUE(IsOwnMaildirName(delivery.DeliveredName().substr(4)));
    }
    for (const char* sub : {"", "/cur", "/new", "/tmp"}) EXPECT_EQ(ModeOf(maildir + sub), 0700u);
    EXPECT_TRUE(FilesIn(maildir + "/tmp").empty());
    EXPECT_EQ(FilesIn(maildir + "/new").size(), messages.size());
}

TEST(Maildir, TwentyMegabytesFedLineByLineComeBackExactly) {
    std::vector<std::string> lines = {"From: big@example.net", "Subject: large", ""};
    size_t total = 0;
    for (size_t i = 0; total < 20 * 1024 * 1024; ++i) {
        // Lengths from 0 to 997 and some 8-bit bytes, so that lines fall
        // across the write buffer's edges everywhere.
        std::string line(i * 7 % 998, static_cast<char>('A' + i % 26));
        if (i % 5 == 0 && !line.empty()) line[0] = static_cast<char>(0x80 + i % 128);
        if (i % 11 == 0) line.insert(0, ".");
        total += line.size() + 1;
        lines.push_back(std::move(line));
    }
    MaildirDelivery delivery;
    std::string path = Deliver(FreshDirectory() + "box", lines, delivery);
    ASSERT_FALSE(path.empty()) << delivery.Problem();
    EXPECT_TRUE(FileBytes(path) == Stored(lines));
    EXPECT_EQ(delivery.Size(), WireSize(lines));
}

TEST(Maildir, AbortAtAnyPointLeavesNothing) {
    std::string maildir = FreshDirectory() + "box";
    {
        MaildirDelivery delivery;
        ASSERT_TRUE(delivery.Begin(maildir)) << delivery.Problem();
        for (int i = 0; i < 5000; ++i) ASSERT_TRUE(delivery.AddLine(std::string(100, 'y')));
        EXPECT_EQ(FilesIn(maildir + "/tmp").size(), 1u);
        delivery.Abort();  // a read error in the middle of the message
        ExpectNothingLeft(maildir);
        EXPECT_FALSE(delivery.AddLine("late"));
        EXPECT_FALSE(delivery.Finish());
        EXPECT_EQ(delivery.DeliveredName(), "");
    }
    {
        MaildirDelivery delivery;
        ASSERT_TRUE(delivery.Begin(maildir));
        ASSERT_TRUE(delivery.AddLine("abandoned by the session's end"));
    }  // destroyed unfinished
    ExpectNothingLeft(maildir);
    {
        // Over the cap: the caller's LIST size may have been a lie.
        MaildirDelivery delivery;
        ASSERT_TRUE(delivery.Begin(maildir, 100));
        EXPECT_TRUE(delivery.AddLine(std::string(60, 'z')));
        EXPECT_FALSE(delivery.AddLine(std::string(60, 'z')));
        EXPECT_EQ(delivery.Problem(), "the message is larger than 100 octets");
        EXPECT_FALSE(delivery.Finish());
        ExpectNothingLeft(maildir);
    }
    {
        // A finished message stays when Abort comes late.
        MaildirDelivery delivery;
        ASSERT_FALSE(Deliver(maildir, {"kept"}, delivery).empty());
        delivery.Abort();
        EXPECT_EQ(FilesIn(maildir + "/new").size(), 1u);
    }
}

TEST(Maildir, PlacesThatCannotBeWrittenFailWithTheReason) {
    struct Case {
        const char* name;
        const char* maildir;   // under a fresh directory
        const char* readOnly;  // made read-only (under the fresh directory), or null
        const char* prepare;   // a Maildir made beforehand, or null
        const char* found;     // in the problem text
    };
    const std::vector<Case> cases = {
        {"parent missing", "absent/box", nullptr, nullptr,
         "cannot make the folder DIR/absent/box: No such file or directory"},
        {"parent read-only", "box", "", nullptr,
         "cannot make the folder DIR/box: Permission denied"},
        {"tmp read-only", "box", "box/tmp", "box", "cannot create DIR/box/tmp/"},
        {"a file in the way", "file", nullptr, nullptr,
         "cannot make the folder DIR/file: File exists"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string directory = FreshDirectory();
        ASSERT_EQ(::chmod(directory.c_str(), 0777), 0);
        WriteBytes(directory + "file", "not a folder");
        if (c.prepare != nullptr) {
            std::string problem;
            ASSERT_TRUE(MakeMaildir(directory + c.prepare, problem)) << problem;
            ASSERT_EQ(::chmod((directory + c.prepare).c_str(), 0777), 0);
            ASSERT_EQ(::chmod((directory + c.prepare + "/new").c_str(), 0777), 0);
        }
        if (c.readOnly != nullptr) {
            ASSERT_EQ(::chmod((directory + c.readOnly).c_str(), 0555), 0);
        }
        MaildirDelivery delivery;
        {
            UnprivilegedFiles unprivileged;
            EXPECT_FALSE(delivery.Begin(directory + c.maildir));
        }
        std::string expected = c.found;
        expected.replace(expected.find("DIR/"), 4, directory);
        EXPECT_TRUE(StartsWith(delivery.Problem(), expected)) << delivery.Problem();
        EXPECT_FALSE(delivery.AddLine("x"));
        EXPECT_FALSE(delivery.Finish());
        if (c.prepare != nullptr) ExpectNothingLeft(directory + c.prepare);
        ::chmod(directory.c_str(), 0700);
    }
}

// The file-size limit makes the kernel refuse writes as a full disk does,
// part-way through the message.
TEST(Maildir, WriteErrorMidMessageFailsAndLeavesNothing) {
    std::string maildir = FreshDirectory() + "box";
    rlimit before{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
    auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = before;
    limited.rlim_cur = 5 * kMaildirWriteBufferBytes / 2;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);

    MaildirDelivery delivery;
    bool begun = delivery.Begin(maildir);
    size_t added = 0;
    while (begun && added < 10000 && delivery.AddLine(std::string(99, 'w'))) ++added;
    bool finished = begun && delivery.Finish();

    ::setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, previous);
    ASSERT_TRUE(begun) << delivery.Problem();
    EXPECT_LT(added, 10000u);
    EXPECT_FALSE(finished);
    EXPECT_NE(delivery.Problem().find("writing " + maildir + "/tmp/"), std::string::npos)
        << delivery.Problem();
    EXPECT_NE(delivery.Problem().find("failed: File too large"), std::string::npos)
        << delivery.Problem();
    ExpectNothingLeft(maildir);
}

TEST(Maildir, OwnNamesAreTold) {
    std::string first = UniqueMaildirName();
    std::string second = UniqueMaildirName();
    EXPECT_NE(first, second);
    EXPECT_TRUE(IsOwnMaildirName(first));
    EXPECT_TRUE(IsOwnMaildirName(first + ":2,S"));
    EXPECT_TRUE(IsOwnMaildirName("1700000000.M12P345Q6.host\\057with\\072escapes"));
    for (const char* other : {"", ".", "..", "1700000000.M12P345.host", "1700000000.M12P345Q6.",
                              "1700000000.M12P345Q6.a/b", "x1700000000.M12P345Q6.host",
                              "1700000000.V801I12M345.host", "courierimapuiddb"}) {
        EXPECT_FALSE(IsOwnMaildirName(other)) << other;
    }
}

}  // namespace
