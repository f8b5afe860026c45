#include "platform/sound.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "core/temp_dir.h"
#include "platform/clock.h"

namespace {

// Polls at most this long for the player to start or end; the test asserts
// what happened, never how fast.
constexpr int kPollLimitMs = 20000;
constexpr int kPollStepMs = 10;

template <typename Condition>
bool WaitFor(Condition condition) {
    for (int waited = 0; waited < kPollLimitMs; waited += kPollStepMs) {
        if (condition()) return true;
        SleepMilliseconds(kPollStepMs);
    }
    return condition();
}

int CountLines(const std::string& text) {
    int lines = 0;
    for (char c : text) lines += c == '\n';
    return lines;
}

// A player that records its argument and plays until the test releases it.
std::string WriteFakePlayer(const TempDir& dir) {
    dir.Write("player.sh",
              "#!/bin/sh\n"
              "echo \"$1\" >> '" +
                  dir.path() +
                  "calls'\n"
                  "i=0\n"
                  "while [ ! -e '" +
                  dir.path() +
                  "release' ] && [ $i -lt 6000 ]; do\n"
                  "  sleep 0.01; i=$((i+1))\n"
                  "done\n");
    std::string path = dir.path() + "player.sh";
    ::chmod(path.c_str(), 0755);
    return path;
}

TEST(PlayWaveFile, PlaysOneSoundAtATimeAndOnlyExistingFiles) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    SetSoundPlayerForTesting(WriteFakePlayer(dir));
    const std::string sound = dir.path() + "PLONK.WAV";

    PlayWaveFile(dir.path() + "MISSING.WAV");
    EXPECT_FALSE(SoundIsPlaying());

    dir.Write("PLONK.WAV", "RIFF");
    for (int i = 0; i < 5; ++i) PlayWaveFile(sound);
    ASSERT_TRUE(WaitFor([&] { return CountLines(dir.Read("calls")) >= 1; }));
    EXPECT_TRUE(SoundIsPlaying());
    EXPECT_EQ(dir.Read("calls"), sound + "\n");

    dir.Write("release", "");
    ASSERT_TRUE(WaitFor([] { return !SoundIsPlaying(); }));
    EXPECT_EQ(CountLines(dir.Read("calls")), 1);

    // Once the player has ended, the next kill plays again.
    PlayWaveFile(sound);
    ASSERT_TRUE(WaitFor([&] { return CountLines(dir.Read("calls")) == 2; }));
    ASSERT_TRUE(WaitFor([] { return !SoundIsPlaying(); }));

    SetSoundPlayerForTesting("");
    PlayWaveFile(sound);
    EXPECT_FALSE(SoundIsPlaying());
    EXPECT_EQ(CountLines(dir.Read("calls")), 2);
}

}  // namespace
