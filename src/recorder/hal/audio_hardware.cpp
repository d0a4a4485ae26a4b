#include "recorder/hal/audio_hardware.hpp"

#include <string>

namespace sayloft::recorder::hal {

long SinkInputInfo::processId() const {
    try {
        return std::stol(property("application.process.id"));
    } catch (...) {
        return 0;
    }
}

const char* toString(PortType type) {
    switch (type) {
        case PortType::speaker:
            return "speaker";
        case PortType::headphones:
            return "headphones";
        case PortType::headset:
            return "headset";
        case PortType::handsfree:
            return "handsfree";
        case PortType::hdmi:
            return "hdmi";
        case PortType::usb:
            return "usb";
        case PortType::bluetooth:
            return "bluetooth";
        case PortType::line:
            return "line";
        case PortType::unknown:
            break;
    }
    return "unknown";
}

}  // namespace sayloft::recorder::hal
