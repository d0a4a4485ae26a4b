#include "faults.hpp"

#include <algorithm>
#include <iterator>

namespace sayloft::wendrel {

using core::Json;

const char* const FaultTable::kRoutes[] = {"init",   "token",  "upload", "task",
                                           "status", "source", "list",   "*"};

namespace {
const char* kindName(Fault::Kind k) {
    switch (k) {
        case Fault::Kind::status:
            return "status";
        case Fault::Kind::malformedJson:
            return "malformed_json";
        case Fault::Kind::slow:
            return "slow";
    }
    return "?";
}
}  // namespace

void FaultTable::add(const Json& r) {
    if (!r.is_object()) throw FaultError("the fault must be a JSON object");
    try {
        auto route = r.value("route", std::string());
        if (std::find_if(std::begin(kRoutes), std::end(kRoutes),
                         [&](const char* n) { return route == n; }) == std::end(kRoutes)) {
            throw FaultError("unknown route \"" + route +
                             "\" (init, token, upload, task, status, source, list or *)");
        }
        Fault f;
        auto kind = r.value("kind", std::string("status"));
        if (kind == "status") {
            f.kind = Fault::Kind::status;
            f.code = r.value("code", 500);
            if (f.code < 400 || f.code > 599) throw FaultError("code must be 400 to 599");
        } else if (kind == "malformed_json") {
            f.kind = Fault::Kind::malformedJson;
        } else if (kind == "slow") {
            f.kind = Fault::Kind::slow;
            f.delayMs = r.value("delay_ms", 0);
            if (f.delayMs <= 0) throw FaultError("delay_ms must be positive");
        } else {
            throw FaultError("unknown kind \"" + kind + "\" (status, malformed_json or slow)");
        }
        f.plan = core::getOptional<std::string>(r, "plan");
        f.message = core::getOptional<std::string>(r, "message");
        f.body = core::getOptional<std::string>(r, "body");
        int count = r.value("count", 1);
        if (count < 1 || count > 10000) throw FaultError("count must be 1 to 10000");
        std::lock_guard lock(mutex_);
        auto& q = queued_[route];
        for (int i = 0; i < count; ++i) q.push_back(f);
    } catch (const Json::exception& e) {
        throw FaultError(std::string("bad fault field: ") + e.what());
    }
}

std::optional<Fault> FaultTable::take(const std::string& route) {
    std::lock_guard lock(mutex_);
    for (const auto& key : {route, std::string("*")}) {
        auto it = queued_.find(key);
        if (it != queued_.end() && !it->second.empty()) {
            Fault f = it->second.front();
            it->second.pop_front();
            return f;
        }
    }
    return std::nullopt;
}

void FaultTable::clear() {
    std::lock_guard lock(mutex_);
    queued_.clear();
}

Json FaultTable::describe() const {
    std::lock_guard lock(mutex_);
    Json out = Json::object();
    for (auto& [route, q] : queued_) {
        if (q.empty()) continue;
        Json list = Json::array();
        for (auto& f : q) {
            Json j{{"kind", kindName(f.kind)}};
            if (f.kind == Fault::Kind::status) j["code"] = f.code;
            if (f.kind == Fault::Kind::slow) j["delay_ms"] = f.delayMs;
            list.push_back(j);
        }
        out[route] = list;
    }
    return out;
}

}  // namespace sayloft::wendrel
