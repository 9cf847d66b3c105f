#include "util/byte_queue.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

ByteQueue::ByteQueue(int32_t initial, int32_t low_water, int32_t block)
    : capacity_(initial), block_(block), low_water_(low_water)
{
    if (capacity_ % block_ != 0)
        capacity_ = (capacity_ / block_ + 1) * block_;
    storage_ = static_cast<uint8_t*>(std::malloc(size_t(capacity_)));
    if (!storage_)
        capacity_ = 0;
}

ByteQueue::~ByteQueue()
{
    std::free(storage_);
}

uint8_t* ByteQueue::grow(int32_t n)
{
    int64_t wanted = (int64_t(capacity_) / block_ + n + 1) * block_;
    if (wanted > INT32_MAX)
        return head(); // out of range: stay as we are, writers see no room
    auto* bigger = static_cast<uint8_t*>(std::malloc(size_t(wanted)));
    if (!bigger)
        return head();
    if (used_ > 0)
        std::memcpy(bigger, head(), size_t(used_));
    std::free(storage_);
    storage_ = bigger;
    start_ = 0;
    capacity_ = int32_t(wanted);
    return storage_;
}

void ByteQueue::reserve(int32_t n)
{
    if (space() >= n)
        return;
    int32_t shortfall = n - space();
    grow((shortfall + block_ - 1) / block_);
}

void ByteQueue::commit(int32_t n)
{
    used_ += n;
    if (space() < low_water_)
        grow(1);
}

void ByteQueue::consume(int32_t n)
{
    if (n < used_) {
        start_ += n;
        used_ -= n;
        compact_if_worth_it();
    } else {
        clear();
    }
}

void ByteQueue::discard_before(const uint8_t* p)
{
    const uint8_t* end = tail();
    if (p >= head() && p < end)
        consume(int32_t(p - head()));
    else
        clear();
}

void ByteQueue::compact_if_worth_it()
{
    // Moving the rest costs no more than the bytes consumed since the last
    // move, and the space wasted in front never exceeds what is held.
    if (start_ >= used_) {
        std::memmove(storage_, head(), size_t(used_));
        start_ = 0;
    }
}

bool ByteQueue::append(const void* bytes, int32_t n)
{
    reserve(n);
    if (space() < n)
        return false;
    if (n > 0)
        std::memcpy(tail(), bytes, size_t(n));
    commit(n);
    return true;
}

int ByteQueue::append_format(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int needed = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    int appended = 0;
    if (needed > 0) {
        // Room for the text and its terminator, so it never lands in part.
        reserve(needed + 1);
        if (space() >= needed + 1) {
            std::vsnprintf(reinterpret_cast<char*>(tail()), size_t(space()), format, again);
            commit(needed);
            appended = needed;
        }
    }
    va_end(again);
    return appended;
}
