#pragma once

// The record every module receives from the service's event bus. It owns a copy of the data it
// was made with, so the sender's bytes are not needed once it exists.

#include <cstdint>
#include <string>

namespace zelko::plenar::agent {

struct Event {
    // All numbers 0, no data, time now.
    Event();
    // Copies `size` bytes of `data` (none when data is null or size 0); time now.
    Event(uint32_t control, uint32_t event_type, const void* data = nullptr, uint64_t size = 0,
          uint32_t channel = 0, uint32_t level = 0);
    ~Event();
    Event(const Event& other);
    Event& operator=(const Event& other);
    // Takes the buffer; the source is left without data.
    Event(Event&& other) noexcept;
    Event& operator=(Event&& other) noexcept;

    uint32_t dwControl = 0;
    uint32_t dwEventType = 0;
    uint32_t dwChannel = 0;
    uint32_t dwLevel = 0;
    uint8_t* lpEventData = nullptr;  // owned; null when there is no data
    uint64_t dataSize = 0;
    std::string time;  // local creation time, as NowLocalIso8601 writes it

  private:
    void CopyData(const void* data, uint64_t size);
};

}  // namespace zelko::plenar::agent
