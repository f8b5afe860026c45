#include "platform/thread.h"

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
    try {
        std::thread(std::move(body)).detach();
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

HighPriorityScope::HighPriorityScope() {
    SetNice(kHighNice);
}

HighPriorityScope::~HighPriorityScope() {
    SetNice(kNormalNice);
}
