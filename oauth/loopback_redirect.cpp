#include "oauth/loopback_redirect.h"

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/clock.h"

namespace {

constexpr const char* kLoopbackAddress = "127.0.0.1";
// The browser sends a small GET; the provider's code and state fit easily.
constexpr size_t kMaxRequestBytes = 16 * 1024;
// One request at a time is all a grant needs; a second thread serves a
// favicon request while the first answer is being written.
constexpr size_t kWorkerThreads = 2;
// How long Start waits for the server's thread to run, so that a stop
// right after it is not lost.
constexpr int kStartWaitMs = 2000;
constexpr int kStartPollMs = 5;

constexpr const char* kClosingPage =
    "Trawlbox has the identity provider's answer. You may close this window; the terminal "
    "tells whether the account was added.\n";

}  // namespace

struct LoopbackRedirect::State {
    httplib::Server server;
    std::thread thread;
    std::mutex mutex;
    std::condition_variable arrived;
    std::optional<FormFields> query;  // the first request's, once it came
};

LoopbackRedirect::LoopbackRedirect() : state_(std::make_unique<State>()) {}

LoopbackRedirect::~LoopbackRedirect() {
    state_->server.stop();
    if (state_->thread.joinable()) state_->thread.join();
}

int LoopbackRedirect::Start(std::string& failure) {
    State* state = state_.get();
    httplib::Server& server = state->server;
    server.new_task_queue = [] { return new httplib::ThreadPool(kWorkerThreads); };
    server.set_payload_max_length(kMaxRequestBytes);
    server.set_keep_alive_max_count(1);
    server.Get("/", [state](const httplib::Request& request, httplib::Response& response) {
        {
            std::lock_guard<std::mutex> guard(state->mutex);
            if (!state->query) {
                FormFields fields(request.params.begin(), request.params.end());
                state->query = std::move(fields);
            }
        }
        state->arrived.notify_all();
        response.set_header("Cache-Control", "no-store");
        response.set_content(kClosingPage, "text/plain; charset=utf-8");
    });
    const int port = server.bind_to_any_port(kLoopbackAddress);
    if (port <= 0) {
        failure = std::string("cannot listen on ") + kLoopbackAddress + " for the browser's return";
        return 0;
    }
    try {
        state->thread = std::thread([state] { state->server.listen_after_bind(); });
    } catch (const std::system_error&) {
        failure = "could not start the thread that waits for the browser's return";
        return 0;
    }
    for (int waited = 0; !server.is_running() && waited < kStartWaitMs; waited += kStartPollMs) {
        SleepMilliseconds(kStartPollMs);
    }
    return port;
}

bool LoopbackRedirect::Wait(int seconds, FormFields& query) {
    std::unique_lock<std::mutex> lock(state_->mutex);
    const bool came = state_->arrived.wait_for(lock, std::chrono::seconds(seconds),
                                               [this] { return state_->query.has_value(); });
    if (came) query = *state_->query;
    return came;
}
