#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <utility>

namespace zelko::plenar::agent {

// Blocking hand-over queue: any number of producers, one consumer that waits in Pop.
// No capacity limit; an owner that wants one reads Size and acts on it.
template <typename T>
class EventQueue {
  public:
    // Runs after every push on the pushing thread while the queue's lock is held, so it must not
    // call back into this queue.
    std::function<void()> onPush;

    EventQueue() = default;
    EventQueue(const EventQueue&) = delete;
    EventQueue& operator=(const EventQueue&) = delete;

    void Push(const T& item) {
        std::lock_guard lock(_mutex);
        _items.push_back(item);
        Pushed();
    }

    // The next Pop returns this item ahead of everything already queued (urgent stop).
    void PushFront(const T& item) {
        std::lock_guard lock(_mutex);
        _items.push_front(item);
        Pushed();
    }

    T Pop() {
        std::unique_lock lock(_mutex);
        _cv.wait(lock, [this] { return !_items.empty(); });
        T item = _items.front();
        _items.pop_front();
        return item;
    }

    // Wakes nobody: a waiting consumer keeps waiting for the next push.
    void Clear() {
        std::lock_guard lock(_mutex);
        _items.clear();
    }

    size_t Size() const {
        std::lock_guard lock(_mutex);
        return _items.size();
    }

    // A copy of the item that the next Pop would return, if any.
    std::optional<T> Front() const {
        std::lock_guard lock(_mutex);
        if (_items.empty()) return std::nullopt;
        return _items.front();
    }

    // Calls inspect(front item or null, size) under the queue's lock, so the owner sees both at
    // one moment without copying. inspect must not call back into this queue.
    template <typename F>
    decltype(auto) Inspect(F&& inspect) const {
        std::lock_guard lock(_mutex);
        const T* front = _items.empty() ? nullptr : &_items.front();
        return std::forward<F>(inspect)(front, _items.size());
    }

  private:
    void Pushed() {
        _cv.notify_one();
        if (onPush) onPush();
    }

    std::deque<T> _items;
    mutable std::mutex _mutex;
    std::condition_variable _cv;
};

}  // namespace zelko::plenar::agent
