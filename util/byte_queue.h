// ByteQueue: the growable linear buffer every byte and datagram stream uses.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

// Bytes are written in place at tail() and committed, and taken from head()
// and consumed. What is left moves back to the front only once the consumed
// bytes before it outnumber it, or when the queue grows, so taking bytes
// from the front costs no more than the bytes taken, however much waits
// behind them. No lock of its own: an owner shared between threads guards
// it with a Mutex.
class ByteQueue {
public:
    // Capacity rounds up to a whole block; commit keeps low_water bytes free.
    ByteQueue(int32_t initial, int32_t low_water, int32_t block);
    ~ByteQueue();
    ByteQueue(const ByteQueue&) = delete;
    ByteQueue& operator=(const ByteQueue&) = delete;

    uint8_t* head() { return storage_ + start_; }
    const uint8_t* head() const { return storage_ + start_; }
    uint8_t* tail() { return storage_ + start_ + used_; }
    int32_t space() const { return capacity_ - start_ - used_; }
    int32_t size() const { return used_; }
    int32_t capacity() const { return capacity_; }

    // Makes at least n bytes free, growing by whole blocks if needed.
    void reserve(int32_t n);
    // Adds n bytes already written at tail().
    void commit(int32_t n);
    // Removes n bytes from the head.
    void consume(int32_t n);
    // Removes every held byte before p.
    void discard_before(const uint8_t* p);
    void clear() { start_ = used_ = 0; }
    // Enlarges the allocation by n + 1 blocks' worth; returns the head.
    uint8_t* grow(int32_t n);

    // Reserve, copy, commit; false (nothing added) when no room can be made.
    bool append(const void* bytes, int32_t n);
    // printf-style text at the tail, committed whole or not at all; returns
    // the characters appended (0 when the text could not be fitted).
    int append_format(const char* format, ...) __attribute__((format(printf, 2, 3)));

private:
    uint8_t* storage_ = nullptr;
    void compact_if_worth_it();

    int32_t capacity_ = 0;
    // Consumed bytes still in front of the head.
    int32_t start_ = 0;
    int32_t used_ = 0;
    int32_t block_ = 0;
    int32_t low_water_ = 0;
};

// Empties queue, when there is one, holding lock (any lockable).
template <typename Lock>
void clear_holding(Lock& lock, const std::unique_ptr<ByteQueue>& queue)
{
    std::lock_guard<Lock> hold(lock);
    if (queue)
        queue->clear();
}
