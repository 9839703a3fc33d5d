#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>

namespace zelko::platform {

// Results of the waits, numbered as the system numbers them.
constexpr uint32_t kWaitObject0 = 0;
constexpr uint32_t kWaitTimeout = 258;
constexpr uint32_t kWaitFailed = 0xFFFFFFFF;
constexpr uint32_t kInfinite = 0xFFFFFFFF;

// Anything a thread can wait on. An object is signalled when its descriptor polls readable and
// TryAcquire succeeds; TryAcquire takes the signal of an auto-reset object, so of several waiters
// only one wakes.
class Waitable {
  public:
    virtual ~Waitable() = default;

    // Descriptor that polls readable while the object may be signalled.
    virtual int PollDescriptor() const = 0;
    // True when the object is signalled; an auto-reset object is reset by a successful call.
    // Never blocks.
    virtual bool TryAcquire() = 0;
};

// Unnamed event of this process (manual or auto reset).
class Event : public Waitable {
  public:
    // Null when the system refuses a new event (errno tells why).
    static std::unique_ptr<Event> Create(bool manual_reset, bool initially_signalled);
    ~Event() override;
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    // False (errno set) when the event cannot be changed.
    bool Set();
    bool Reset();

    int PollDescriptor() const override { return fd_; }
    bool TryAcquire() override;

  private:
    Event(int fd, bool manual_reset) : fd_(fd), manual_reset_(manual_reset) {}

    int fd_;
    bool manual_reset_;
};

// Waits until one of the objects is signalled (kWaitObject0 + its index; the lowest index wins
// when several are), the timeout in milliseconds passes (kWaitTimeout) or the wait itself fails
// (kWaitFailed, errno set).
uint32_t WaitForMultipleObjects(std::span<Waitable* const> objects, uint32_t timeout_ms);
uint32_t WaitForMultipleObjects(std::initializer_list<Waitable*> objects, uint32_t timeout_ms);
uint32_t WaitForSingleObject(Waitable& object, uint32_t timeout_ms);

}  // namespace zelko::platform
