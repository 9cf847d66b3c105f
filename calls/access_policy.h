// AccessPolicy: which callers may call, how many at once from one address,
// how fast, and the bans. Takes addresses and the time; no sockets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <unordered_map>
#include <vector>

#include "port/tcp.h"
#include "calls/address_prefix.h"

// 0 in a number means no limit.
struct AccessSettings {
    int max_per_address = 4;
    int rate_per_minute = 30;
    // 0: callers past the rate are refused but the address is not banned.
    int ban_seconds = 600;
    // When not empty, only these may call; deny wins over allow.
    std::vector<AddressPrefix> allow;
    std::vector<AddressPrefix> deny;
    // Calls at once over all addresses: each holds threads and descriptors.
    int max_calls = 256;
    // Callers press ESC twice within gate_seconds before a board line is
    // taken for them.
    bool gate = false;
    int gate_seconds = 20;
};

enum class AccessVerdict {
    Admitted,
    Denied,         // on Deny: closed at once
    NotAllowed,     // missing from a non-empty Allow: closed at once
    Banned,         // closed at once
    TooMany,        // max_per_address calls already
    TooFast,        // past rate_per_minute; banned from now on if ban_seconds
    TooManyCallers, // max_calls calls already, from whatever addresses
};

struct AccessDecision {
    AccessVerdict verdict = AccessVerdict::Admitted;
    // New connections counted in the address's current minute, this one too.
    int count = 0;
    // TooFast only: the ban began with this connection.
    bool banned = false;
};

class AccessPolicy {
public:
    // Addresses without a call that are remembered (their minute and ban);
    // past it the one heard from longest ago is forgotten.
    static constexpr size_t IDLE_BOUND = 4096;
    static constexpr uint64_t MINUTE_MS = 60000;

    explicit AccessPolicy(AccessSettings settings = {}, size_t idle_bound = IDLE_BOUND);
    // The table points into its own list: moved, never copied.
    AccessPolicy(AccessPolicy&&) = default;
    AccessPolicy& operator=(AccessPolicy&&) = default;
    AccessPolicy(const AccessPolicy&) = delete;
    AccessPolicy& operator=(const AccessPolicy&) = delete;

    // A new connection from address at now_ms (monotonic). An admitted one
    // counts against its address, and against max_calls, until release.
    AccessDecision admit(const TcpAddress& address, uint64_t now_ms);
    // An admitted call from address has ended (or never started).
    void release(const TcpAddress& address, uint64_t now_ms);

    const AccessSettings& settings() const { return settings_; }
    // Addresses remembered, with a call or without.
    size_t table_size() const { return table_.size(); }
    // Calls admitted and not yet released.
    int calls() const { return calls_; }

private:
    // IPv4 addresses whole, IPv6 by their /64: one caller controls a /64.
    struct Key {
        uint64_t high;
        uint64_t low;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        size_t operator()(const Key& k) const;
    };
    struct Entry {
        int active = 0;
        int minute_count = 0;
        uint64_t minute_start_ms = 0;
        uint64_t banned_until_ms = 0;
        // Where it stands in idle_ while active is 0.
        std::list<Key>::iterator idle_at;
    };

    static Key key_of(const TcpAddress& address);
    // Admitted, Denied or NotAllowed by the lists alone.
    AccessVerdict listed(const TcpAddress& address) const;
    bool tracking() const;
    bool at_max_calls() const;
    bool forgettable(const Entry& entry, uint64_t now_ms) const;
    // Puts an entry without calls at the front of idle_ and trims the back.
    void make_idle(const Key& key, Entry& entry, uint64_t now_ms);

    AccessSettings settings_;
    size_t idle_bound_;
    std::unordered_map<Key, Entry, KeyHash> table_;
    // Keys of entries without calls, most recently heard from first.
    std::list<Key> idle_;
    int calls_ = 0;
};
