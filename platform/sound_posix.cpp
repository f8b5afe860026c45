#include "platform/sound.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

extern char** environ;

namespace {

// Players tried in this order, each with the options that keep it quiet on
// its own output; the first one found on PATH is used for the whole run.
struct PlayerChoice {
    std::string_view name;
    std::string_view option;  // "" for none
};
constexpr std::array<PlayerChoice, 4> kPlayers{{
    {"aplay", "-q"},
    {"paplay", ""},
    {"pw-play", ""},
    {"play", "-q"},
}};

struct Player {
    std::string program;  // "" when none was found
    std::string option;
};

std::mutex playerLock;
bool playerChosen = false;
Player player;

// One sound at a time: set before a player starts, cleared when it is reaped.
std::atomic<bool> playing{false};

bool IsExecutableFile(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

Player FindPlayer() {
    const char* path = std::getenv("PATH");
    std::string_view directories = path != nullptr ? path : "/usr/bin:/bin";
    for (const PlayerChoice& choice : kPlayers) {
        size_t start = 0;
        while (start <= directories.size()) {
            size_t colon = directories.find(':', start);
            std::string_view directory =
                directories.substr(start, colon == std::string_view::npos ? colon : colon - start);
            if (!directory.empty()) {
                std::string candidate = std::string(directory) + "/" + std::string(choice.name);
                if (IsExecutableFile(candidate)) {
                    return {candidate, std::string(choice.option)};
                }
            }
            if (colon == std::string_view::npos) break;
            start = colon + 1;
        }
    }
    return {};
}

Player CurrentPlayer() {
    std::lock_guard<std::mutex> guard(playerLock);
    if (!playerChosen) {
        player = FindPlayer();
        playerChosen = true;
    }
    return player;
}

// Starts the player with its output going nowhere and without the program's
// other open files. Returns the child's PID, or -1.
pid_t Spawn(const Player& chosen, const std::string& fileName) {
    std::vector<std::string> arguments{chosen.program};
    if (!chosen.option.empty()) arguments.push_back(chosen.option);
    arguments.push_back(fileName);
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) return -1;
    for (int fd = 0; fd <= 2; ++fd) {
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY,
                                         0);
    }
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    pid_t pid = -1;
    int status = posix_spawn(&pid, chosen.program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return status == 0 ? pid : -1;
}

void Reap(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    playing = false;
}

}  // namespace

void PlayWaveFile(const std::string& fileName) {
    struct stat info;
    if (fileName.empty() || ::stat(fileName.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return;
    Player chosen = CurrentPlayer();
    if (chosen.program.empty()) return;
    bool expected = false;
    if (!playing.compare_exchange_strong(expected, true)) return;
    pid_t pid = Spawn(chosen, fileName);
    if (pid < 0) {
        playing = false;
        return;
    }
    try {
        std::thread(Reap, pid).detach();
    } catch (const std::system_error&) {
        // No thread for the wait: wait here rather than leave a zombie behind.
        Reap(pid);
    }
}

bool SoundIsPlaying() {
    return playing;
}

void SetSoundPlayerForTesting(const std::string& program) {
    std::lock_guard<std::mutex> guard(playerLock);
    player = {program, ""};
    playerChosen = true;
}
