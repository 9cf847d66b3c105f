#include "calls/access_policy.h"

#include <cstring>

AccessPolicy::AccessPolicy(AccessSettings settings, size_t idle_bound)
    : settings_(std::move(settings)), idle_bound_(idle_bound > 0 ? idle_bound : 1)
{
}

size_t AccessPolicy::KeyHash::operator()(const Key& k) const
{
    uint64_t h = k.high * 0x9E3779B97F4A7C15ull ^ (k.low + 0x632BE59BD9B4E019ull);
    return size_t(h ^ (h >> 29));
}

AccessPolicy::Key AccessPolicy::key_of(const TcpAddress& address)
{
    Key key{0, 0};
    if (address.ipv6) {
        std::memcpy(&key.high, address.bytes, 8);
    } else {
        // Bit 32 keeps IPv4 keys apart from the IPv6 prefix ::/64.
        uint32_t v4;
        std::memcpy(&v4, address.bytes, 4);
        key.low = (uint64_t(1) << 32) | v4;
    }
    return key;
}

AccessVerdict AccessPolicy::listed(const TcpAddress& address) const
{
    if (prefixes_contain(settings_.deny, address))
        return AccessVerdict::Denied;
    if (settings_.allow.empty() || prefixes_contain(settings_.allow, address))
        return AccessVerdict::Admitted;
    return AccessVerdict::NotAllowed;
}

bool AccessPolicy::tracking() const
{
    return settings_.max_per_address > 0 || settings_.rate_per_minute > 0;
}

bool AccessPolicy::at_max_calls() const
{
    return settings_.max_calls > 0 && calls_ >= settings_.max_calls;
}

bool AccessPolicy::forgettable(const Entry& entry, uint64_t now_ms) const
{
    return now_ms - entry.minute_start_ms >= MINUTE_MS && now_ms >= entry.banned_until_ms;
}

void AccessPolicy::make_idle(const Key& key, Entry& entry, uint64_t now_ms)
{
    idle_.push_front(key);
    entry.idle_at = idle_.begin();
    // Entries that carry nothing any more go first, then the oldest past
    // the bound; each leaves once, so this costs O(1) per connection on
    // average. The entry just put in front stays.
    while (idle_.size() > 1) {
        auto oldest = table_.find(idle_.back());
        if (idle_.size() <= idle_bound_ && !forgettable(oldest->second, now_ms))
            break;
        table_.erase(oldest);
        idle_.pop_back();
    }
}

AccessDecision AccessPolicy::admit(const TcpAddress& address, uint64_t now_ms)
{
    AccessDecision decision;
    decision.verdict = listed(address);
    if (decision.verdict != AccessVerdict::Admitted)
        return decision;
    if (!tracking()) {
        if (at_max_calls())
            decision.verdict = AccessVerdict::TooManyCallers;
        else
            ++calls_;
        return decision;
    }

    const Key key = key_of(address);
    auto [it, added] = table_.try_emplace(key);
    Entry& entry = it->second;
    if (!added && entry.active == 0)
        idle_.erase(entry.idle_at);

    if (now_ms < entry.banned_until_ms) {
        decision.verdict = AccessVerdict::Banned;
    } else {
        if (entry.minute_count == 0 || now_ms - entry.minute_start_ms >= MINUTE_MS) {
            entry.minute_start_ms = now_ms;
            entry.minute_count = 0;
        }
        decision.count = ++entry.minute_count;
        const int rate = settings_.rate_per_minute;
        const int max = settings_.max_per_address;
        if (rate > 0 && decision.count > rate) {
            decision.verdict = AccessVerdict::TooFast;
            if (settings_.ban_seconds > 0) {
                decision.banned = true;
                entry.banned_until_ms = now_ms + uint64_t(settings_.ban_seconds) * 1000;
                // Once the ban is over the address starts a fresh minute.
                entry.minute_start_ms = now_ms;
                entry.minute_count = 0;
            }
        } else if (max > 0 && entry.active >= max) {
            decision.verdict = AccessVerdict::TooMany;
        } else if (at_max_calls()) {
            // Counted in the address's minute all the same: a caller who
            // keeps dialling into a full house is still held to the rate.
            decision.verdict = AccessVerdict::TooManyCallers;
        } else {
            ++entry.active;
            ++calls_;
        }
    }
    if (entry.active == 0)
        make_idle(key, entry, now_ms);
    return decision;
}

void AccessPolicy::release(const TcpAddress& address, uint64_t now_ms)
{
    if (calls_ > 0)
        --calls_;
    const Key key = key_of(address);
    auto it = table_.find(key);
    if (it == table_.end() || it->second.active == 0)
        return;
    if (--it->second.active == 0)
        make_idle(key, it->second, now_ms);
}
