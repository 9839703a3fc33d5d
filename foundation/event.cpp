#include "foundation/event.h"

#include <cstring>
#include <utility>

#include "foundation/utils_time.h"

namespace zelko::plenar::agent {

Event::Event() : time(NowLocalIso8601()) {}

Event::Event(uint32_t control, uint32_t event_type, const void* data, uint64_t size, uint32_t channel,
             uint32_t level)
    : dwControl(control),
      dwEventType(event_type),
      dwChannel(channel),
      dwLevel(level),
      time(NowLocalIso8601()) {
    CopyData(data, size);
}

Event::~Event() { delete[] lpEventData; }

void Event::CopyData(const void* data, uint64_t size) {
    if (data == nullptr || size == 0) return;
    lpEventData = new uint8_t[size];
    std::memcpy(lpEventData, data, size);
    dataSize = size;
}

Event::Event(const Event& other)
    : dwControl(other.dwControl),
      dwEventType(other.dwEventType),
      dwChannel(other.dwChannel),
      dwLevel(other.dwLevel),
      time(other.time) {
    CopyData(other.lpEventData, other.dataSize);
    // A record read back without its bytes keeps its stated size.
    if (lpEventData == nullptr) dataSize = other.dataSize;
}

Event& Event::operator=(const Event& other) {
    if (this != &other) {
        Event copy(other);
        *this = std::move(copy);
    }
    return *this;
}

Event::Event(Event&& other) noexcept
    : dwControl(other.dwControl),
      dwEventType(other.dwEventType),
      dwChannel(other.dwChannel),
      dwLevel(other.dwLevel),
      lpEventData(std::exchange(other.lpEventData, nullptr)),
      dataSize(std::exchange(other.dataSize, 0)),
      time(std::move(other.time)) {}

Event& Event::operator=(Event&& other) noexcept {
    if (this != &other) {
        delete[] lpEventData;
        dwControl = other.dwControl;
        dwEventType = other.dwEventType;
        dwChannel = other.dwChannel;
        dwLevel = other.dwLevel;
        lpEventData = std::exchange(other.lpEventData, nullptr);
        dataSize = std::exchange(other.dataSize, 0);
        time = std::move(other.time);
    }
    return *this;
}

}  // namespace zelko::plenar::agent
