// Sound: the short sound played for every killed message.
#pragma once

#include <string>

// Plays the sound file asynchronously with a player program found on PATH
// (looked for once per process). Does nothing, silently, when the file does
// not exist, when no player is installed, or while an earlier sound still
// plays: at most one player runs at a time, however many messages are killed.
// The player's process is reaped when it ends.
void PlayWaveFile(const std::string& fileName);

// Returns true while a player started by PlayWaveFile runs.
bool SoundIsPlaying();

// Makes PlayWaveFile start `program` with the file name as its only argument
// instead of the player found on PATH; "" means no player. For tests.
void SetSoundPlayerForTesting(const std::string& program);
