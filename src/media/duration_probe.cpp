#include "media/duration_probe.hpp"

#include <dlfcn.h>

#include <atomic>
#include <cstdlib>
#include <mutex>

#include "core/log.hpp"

namespace sayloft::media {

namespace {

// The entry points of the probe module (media_probe_module.cpp).
using DurationFn = int (*)(const char*, double*);
using ProbeFn = int (*)(const char*, double*, int*, int*);

struct Module {
    DurationFn duration = nullptr;
    ProbeFn probe = nullptr;
};

std::atomic<bool> loaded{false};

const Module& module() {
    static Module m = [] {
        Module out;
        const char* overridePath = std::getenv("SAYLOFT_MEDIA_PROBE");
        const char* candidates[] = {overridePath, SAYLOFT_MEDIA_PROBE_PATH,
                                    "libsayloft_media_probe.so"};
        for (const char* path : candidates) {
            if (!path || !*path) continue;
            void* handle = ::dlopen(path, RTLD_NOW | RTLD_LOCAL);
            if (!handle) continue;
            out.duration = reinterpret_cast<DurationFn>(::dlsym(handle, "sayloft_probe_duration"));
            out.probe = reinterpret_cast<ProbeFn>(::dlsym(handle, "sayloft_probe_whole"));
            if (out.duration && out.probe) {
                loaded = true;
                return out;
            }
            ::dlclose(handle);
            out = {};
        }
        core::log("media", "media libraries not available; duration checks are off");
        return out;
    }();
    return m;
}

}  // namespace

std::optional<double> probeDuration(const std::filesystem::path& file) {
    auto& m = module();
    if (!m.duration) return std::nullopt;
    double seconds = 0;
    if (m.duration(file.c_str(), &seconds) != 0) return std::nullopt;
    return seconds;
}

std::optional<Probe> probe(const std::filesystem::path& file) {
    auto& m = module();
    if (!m.probe) return std::nullopt;
    double seconds = 0;
    int hasDuration = 0, whole = 0;
    Probe out;
    if (m.probe(file.c_str(), &seconds, &hasDuration, &whole) != 0) return out;
    if (hasDuration) out.duration = seconds;
    out.whole = whole != 0;
    return out;
}

bool mediaLoaded() {
    return loaded;
}

}  // namespace sayloft::media
