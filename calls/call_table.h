// CallTable: the calls, whatever transport their callers came by: the
// listeners they arrive on, access control, each call's session and board
// link, and the counters.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "calls/access_policy.h"
#include "calls/call.h"
#include "calls/call_settings.h"
#include "calls/caller_listener.h"
#include "calls/counters_file.h"
#include "calls/refusal_log.h"
#include "calls/setup_refusals.h"
#include "link/board_settings.h"
#include "port/descriptor_reserve.h"
#include "port/wake_event.h"

class CallTable {
public:
    // Listeners at the most, over every transport.
    static constexpr int MAX_LISTENERS = 8;

    CallTable() = default;
    CallTable(const CallTable&) = delete;
    CallTable& operator=(const CallTable&) = delete;

    // Loads the total of callers and posts it. Callers are admitted by
    // access from now on, each call's link rides out the tunnel as board
    // says, and each call lasts as limits allows. Always 0.
    int init(AccessPolicy access = AccessPolicy(), const BoardSettings& board = BoardSettings(),
             const CallSettings& limits = CallSettings());
    // Callers arrive here from now on; taken over. False (and closed) when
    // MAX_LISTENERS are there already, or there is none.
    bool add_listener(std::unique_ptr<CallerListener> listener);
    // Saves the total if init loaded it, closes every caller and listener.
    // Harmless without init or after a failed one.
    void shutdown();
    // One pass over the calls: accept at most one caller per listener,
    // serve every call with news (and, once a second, every call), end
    // finished calls, post the figures. Returns the ms until the next pass
    // is due, at most LONGEST_WAIT_MS; sooner, whatever wakes the main loop.
    int serve();
    // What the main loop's wait ends on for the calls: the wake descriptor,
    // and each listener's unless accepting from it failed (then serve is
    // due again within ACCEPT_RETRY_MS). Writes at most room; the count.
    int descriptors(int* out, int room) const;
    // Ends the main loop's wait at once (safe from any thread).
    void wake_up() { wake->signal(); }

    // The longest wait: a safety net only, every event wakes the loop.
    static constexpr int LONGEST_WAIT_MS = 1000;
    // Links still ending their circuits after their calls went, at most
    // MaxCalls, or this many without it.
    static constexpr size_t ENDING_LINKS_BOUND = 1024;
    // How soon accepting is tried again after it failed.
    static constexpr int ACCEPT_RETRY_MS = 10;

    // Signalled by sessions, links and lookups when a call has changed;
    // shared, as a lookup may outlive its session.
    std::shared_ptr<WakeEvent> wake = std::make_shared<WakeEvent>();

    // Newest first.
    std::list<std::unique_ptr<Call>> calls;
    // Board links of removed calls, asking the board host to end their
    // circuits; oldest first.
    std::list<std::unique_ptr<BoardLink>> ending_links;
    uint16_t total_connections = 0;
    uint16_t session_counter = 0;
    uint16_t calls_lost_to_downtime = 0;
    char service_name[5] = "KELB";

    // Where the total is kept; relative to the working directory.
    std::string counters_path = COUNTERS_FILE_NAME;

private:
    // Decides on each caller before it takes a session.
    AccessPolicy access_;
    BoardSettings board_;
    // What each session is given, from the gate and call settings.
    SessionLimits session_limits_;
    struct Listening {
        std::unique_ptr<CallerListener> listener;
        bool accept_failed = false;
    };

    // False when no caller could be taken.
    bool accept_caller(CallerListener& listener);
    // Turns a caller away in the pass that accepted it, waiting on nothing:
    // a caller still to be set up is told on a refusal thread, if one is
    // free.
    void refuse(std::unique_ptr<CallerTransport> caller, const AccessDecision& decision);
    // Counts a refused caller and writes its line, unless this second has
    // had its share of lines.
    void tell_refusal(RefusalReason reason, const char* line);
    // Writes the summary of a second of refusals once it is over; ms until
    // the next is due, -1 when none is.
    int write_refusal_summary(uint64_t now_ms);
    bool serve_call(Call& call);
    // Gives a caller that may have a line its number, and the line once
    // its transport can carry it.
    void open_call(Call& call);
    // Opens the call's board link and joins the caller to it, or tells the
    // caller no board host is known.
    void connect_to_board(Call& call);
    void remove_call(std::list<std::unique_ptr<Call>>::iterator at);
    void count_lost_to_downtime();
    // The caller no longer counts against its address; once.
    void release_caller(Call& call);
    // Hands a removed call's link over to end its circuit on its own.
    void retire_link(std::unique_ptr<BoardLink> link);
    // Closes the ending links that are done.
    void reap_ending_links();

    std::vector<Listening> listeners_;
    RefusalLog refusals_;
    SetupRefusals setup_refusals_;
    bool counters_loaded = false;
    // Held from init, given back just before the total is saved: a process
    // out of descriptors at shutdown still keeps its total.
    DescriptorReserve counters_reserve_;
    uint64_t last_full_walk_ms_ = 0;
    // Of the calls, those whose caller came by SSH.
    int ssh_callers_ = 0;
    // Of the calls, those whose caller came from a web page.
    int web_callers_ = 0;
};

extern CallTable call_table;
