#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>
#include <vector>

#include "core/clock.hpp"

namespace sayloft::browser {

// Runs each task on its own thread and waits at most `limit` on the clock for all of them. Then
// the late ones are told to stop through their token (their commands are ended) and joined; only
// results that arrived in time are returned. `outer` stopping acts like the limit striking.
template <class R>
std::vector<std::optional<R>> gatherWithin(std::vector<std::function<R(std::stop_token)>> tasks,
                                           core::Duration limit, core::Clock& clock,
                                           std::stop_token outer = {}) {
    struct Shared {
        std::mutex mutex;
        std::vector<std::optional<R>> results;
        size_t remaining = 0;
        bool closed = false;
    } shared;
    shared.results.resize(tasks.size());
    shared.remaining = tasks.size();
    std::stop_source allDone, cancel;
    std::stop_callback onOuter(outer, [&] { allDone.request_stop(); });
    if (tasks.empty()) return {};
    std::vector<std::jthread> threads;
    threads.reserve(tasks.size());
    for (size_t i = 0; i < tasks.size(); ++i) {
        threads.emplace_back([&, i] {
            std::optional<R> result;
            try {
                result = tasks[i](cancel.get_token());
            } catch (...) {
                // A failed scan contributes nothing.
            }
            std::lock_guard lock(shared.mutex);
            if (!shared.closed) shared.results[i] = std::move(result);
            if (--shared.remaining == 0) allDone.request_stop();
        });
    }
    clock.sleepFor(limit, allDone.get_token());
    {
        std::lock_guard lock(shared.mutex);
        shared.closed = true;
    }
    cancel.request_stop();
    threads.clear();  // joins
    return std::move(shared.results);
}

}  // namespace sayloft::browser
