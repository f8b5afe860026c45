#include "platform/thread.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <system_error>
#include <thread>

namespace {

// Handles start above 1: the session table reads 1 as "outgoing connection".
std::atomic<int32_t> nextHandle{2};

// The nice value of a thread at raised priority.
constexpr int kHighNice = -5;
constexpr int kNormalNice = 0;

void SetNice(int nice) {
    // Lowering the nice value needs privileges; a refusal changes nothing.
    pid_t tid = static_cast<pid_t>(::syscall(SYS_gettid));
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice);
}

}  // namespace

int32_t StartThread(ThreadBody body, int32_t argument) {
    try {
        std::thread(body, argument).detach();
    } catch (const std::system_error&) {
        return 0;
    }
    int32_t handle = nextHandle.fetch_add(1);
    if (handle <= 1) handle = nextHandle.fetch_add(2) + 2;  // wrapped: skip 0 and 1
    return handle;
}

HighPriorityScope::HighPriorityScope() {
    SetNice(kHighNice);
}

HighPriorityScope::~HighPriorityScope() {
    SetNice(kNormalNice);
}
