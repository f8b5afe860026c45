#include "store/quarantine_listing.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace {

// While it lives, local time is that of the POSIX zone given (no zone files
// needed).
class LocalZone {
  public:
    explicit LocalZone(const char* zone) {
        if (const char* before = std::getenv("TZ")) before_ = before;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~LocalZone() {
        if (before_) {
            ::setenv("TZ", before_->c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }
    LocalZone(const LocalZone&) = delete;
    LocalZone& operator=(const LocalZone&) = delete;

  private:
    std::optional<std::string> before_;
};

TEST(QuarantineListing, OneTabSeparatedLinePerCopyIdFirst) {
    QuarantineEntry killed;
    killed.id = "a1b2c3d4";
    killed.killedAt = 1772719650;  // 2026-03-05 14:07:30 UTC
    killed.account = "pop.example.net#anna";
    killed.sender = "Spam <spam@example.com>";
    killed.subject = "Cheap \x1b[2J\xc2\x9b offer\r\n\tnow \xe2\x82\xac";
    killed.rule = "Subject: ~\"offer\"";
    QuarantineEntry released = killed;
    released.id = "zz99yy88";
    released.killedAt += 86400 * 300;
    released.subject = "";
    released.releasedAt = released.killedAt + 60;

    {
        LocalZone zone("UTC0");
        EXPECT_EQ(QuarantineList({killed, released}),
                  "a1b2c3d4\t2026-03-05 14:07\tpop.example.net#anna\tSpam <spam@example.com>\t"
                  "Cheap ?[2J? offer   now \xe2\x82\xac\tSubject: ~\"offer\"\n"
                  "zz99yy88\t2026-12-30 14:07\tpop.example.net#anna\tSpam <spam@example.com>\t"
                  "\tSubject: ~\"offer\"\treleased\n");
    }
    LocalZone zone("ABC-1");  // an hour east of UTC
    EXPECT_EQ(QuarantineListLine(killed).substr(0, 26), "a1b2c3d4\t2026-03-05 15:07\t");
    EXPECT_EQ(QuarantineList({}), "");
}

}  // namespace
