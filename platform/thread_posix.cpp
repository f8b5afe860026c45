#include "platform/thread.h"

#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <system_error>
#include <thread>

namespace {

// The nice value of a thread at raised priority.
constexpr int kHighNice = -5;
constexpr int kNormalNice = 0;

void SetNice(int nice) {
    // Lowering the nice value needs privileges; a refusal changes nothing.
    pid_t tid = static_cast<pid_t>(::syscall(SYS_gettid));
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice);
}

}  // namespace

bool StartThread(std::function<void()> body) {
    // The operator's signals go to the supervision loop's thread alone: a
    // SIGHUP taken by a session thread would cut short its wait on a socket.
    // A new thread inherits the mask it is created under.
    sigset_t operatorSignals;
    sigset_t previous;
    sigemptyset(&operatorSignals);
    for (int signal : {SIGHUP, SIGINT, SIGTERM}) sigaddset(&operatorSignals, signal);
    ::pthread_sigmask(SIG_BLOCK, &operatorSignals, &previous);
    bool started = true;
    try {
        std::thread(std::move(body)).detach();
    } catch (const std::system_error&) {
        started = false;
    }
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return started;
}

HighPriorityScope::HighPriorityScope() {
    SetNice(kHighNice);
}

HighPriorityScope::~HighPriorityScope() {
    SetNice(kNormalNice);
}
