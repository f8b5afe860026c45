#include "platform/console.h"

#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>

namespace {

// How long the rest of an escape sequence may take to arrive after its ESC;
// a longer gap means the user pressed ESC alone.
constexpr int kEscapeSequenceGapMs = 30;

termios savedTerminal{};
std::atomic<bool> terminalSaved{false};
std::atomic<std::atomic<int>*> stopCounter{nullptr};
std::atomic<std::atomic<int>*> reloadCounter{nullptr};
std::atomic<void (*)(std::string_view)> consoleSink{nullptr};
std::atomic<ConsoleTextConversion> consoleConversion{nullptr};
bool inputClosed = false;

std::mutex& OutputLock() {
    static std::mutex& lock = *new std::mutex();
    return lock;
}

void RestoreTerminal() {
    if (terminalSaved.exchange(false)) tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
}

void OnStopSignal(int) {
    if (auto* counter = stopCounter.load()) counter->fetch_add(1);
}

void OnReloadSignal(int) {
    if (auto* counter = reloadCounter.load()) counter->fetch_add(1);
}

void OnFatalSignal(int signal) {
    RestoreTerminal();  // tcsetattr is async-signal-safe
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

void WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n <= 0) return;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
}

// Returns the next input byte, waiting at most `waitMs`; -1 when none.
int ReadByte(int waitMs) {
    if (inputClosed) return -1;
    pollfd input{STDIN_FILENO, POLLIN, 0};
    if (::poll(&input, 1, waitMs) <= 0) return -1;
    unsigned char byte = 0;
    ssize_t n = ::read(STDIN_FILENO, &byte, 1);
    if (n == 0) inputClosed = true;  // end of input: no keys will ever come
    return n == 1 ? byte : -1;
}

}  // namespace

void ConsoleBegin() {
    struct sigaction fatal {};
    fatal.sa_handler = OnFatalSignal;
    for (int s : {SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL}) ::sigaction(s, &fatal, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    if (!::isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &savedTerminal) != 0) return;
    termios raw = savedTerminal;
    // Keys one at a time, unechoed; CR stays CR. Output processing and the
    // interrupt keys stay as they were, so Ctrl-C still raises SIGINT.
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    raw.c_iflag &= static_cast<tcflag_t>(~(ICRNL | INLCR | IGNCR));
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0) {
        terminalSaved = true;
        std::atexit(RestoreTerminal);
    }
}

void ConsoleRestore() {
    RestoreTerminal();
}

void InstallStopSignals(std::atomic<int>& counter) {
    stopCounter = &counter;
    struct sigaction stop {};
    stop.sa_handler = OnStopSignal;
    ::sigaction(SIGINT, &stop, nullptr);
    ::sigaction(SIGTERM, &stop, nullptr);
}

void InstallReloadSignal(std::atomic<int>& counter) {
    reloadCounter = &counter;
    struct sigaction reload {};
    reload.sa_handler = OnReloadSignal;
    ::sigaction(SIGHUP, &reload, nullptr);
}

namespace {

// Returns the text as the terminal is to receive it.
std::string Converted(std::string_view text) {
    ConsoleTextConversion convert = consoleConversion;
    return convert ? convert(text) : std::string(text);
}

}  // namespace

void SetConsoleTextConversion(ConsoleTextConversion convert) {
    consoleConversion = convert;
}

void ConsoleSetTitle(std::string_view title) {
    if (!::isatty(STDOUT_FILENO)) return;
    std::string sequence = "\033]0;" + Converted(title) + "\007";
    std::lock_guard guard(OutputLock());
    WriteAll(STDOUT_FILENO, sequence);
}

void ConsoleWriteLine(std::string_view line) {
    std::string text = Converted(line);
    if (auto sink = consoleSink.load()) {
        sink(text);
        return;
    }
    text += '\n';
    std::lock_guard guard(OutputLock());
    WriteAll(STDOUT_FILENO, text);
}

void SetConsoleSinkForTesting(void (*sink)(std::string_view line)) {
    consoleSink = sink;
}

void ConsoleFlushInput() {
    if (::isatty(STDIN_FILENO)) tcflush(STDIN_FILENO, TCIFLUSH);
}

std::string ConsoleReadKey() {
    int byte = ReadByte(0);
    if (byte < 0) return {};
    if (byte == '\n') return std::string(1, '\r');
    if (byte != 0x1B) return std::string(1, static_cast<char>(byte));
    int next = ReadByte(kEscapeSequenceGapMs);
    if (next < 0) return std::string(1, '\x1B');
    // An escape sequence (CSI "ESC [" or SS3 "ESC O"): read up to its final
    // byte and hand it out as a special key, which does nothing.
    int last = next;
    if (next == '[' || next == 'O') {
        for (int i = 0; i < 16; ++i) {
            last = ReadByte(kEscapeSequenceGapMs);
            if (last < 0 || (last >= 0x40 && last <= 0x7E)) break;
        }
    }
    return std::string(1, '\0') + static_cast<char>(last < 0 ? 0 : last);
}

SecretRead ReadSecretLine(std::string_view prompt, size_t limit, std::string& line) {
    line.clear();
    const bool terminal = ::isatty(STDIN_FILENO) == 1 && !terminalSaved &&
                          tcgetattr(STDIN_FILENO, &savedTerminal) == 0;
    struct sigaction oldInterrupt {};
    struct sigaction oldTerminate {};
    if (terminal) {
        // A Ctrl-C while the echo is off must not leave the shell blind.
        struct sigaction restore {};
        restore.sa_handler = OnFatalSignal;
        ::sigaction(SIGINT, &restore, &oldInterrupt);
        ::sigaction(SIGTERM, &restore, &oldTerminate);
        termios hidden = savedTerminal;
        hidden.c_lflag &= static_cast<tcflag_t>(~ECHO);
        terminalSaved = tcsetattr(STDIN_FILENO, TCSAFLUSH, &hidden) == 0;
        WriteAll(STDERR_FILENO, prompt);
    }
    bool any = false;
    bool ended = false;
    bool tooLong = false;
    while (true) {
        char byte = 0;
        const ssize_t n = ::read(STDIN_FILENO, &byte, 1);
        if (n < 0 && errno == EINTR) continue;
        ended = n <= 0;
        if (ended || byte == '\n') break;
        any = true;
        if (line.size() < limit) {
            line += byte;
        } else {
            tooLong = true;
        }
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (terminal) {
        RestoreTerminal();
        ::sigaction(SIGINT, &oldInterrupt, nullptr);
        ::sigaction(SIGTERM, &oldTerminate, nullptr);
        // The Enter key was not echoed either.
        WriteAll(STDERR_FILENO, "\n");
    }
    if (tooLong) {
        line.clear();
        return SecretRead::kTooLong;
    }
    return ended && !any ? SecretRead::kEnd : SecretRead::kRead;
}
