// The calls. Once per main-loop pass, serve accepts callers, joins them to
// board lines, ends finished calls and keeps the statistics board current;
// the bytes of a call go between its session and its link, never through
// here.
#include "calls/call_table.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "link/board_link.h"
#include "log/log_file.h"
#include "port/clock.h"
#include "port/worker_thread.h"
#include "sap/sap_agent.h"
#include "stats/statistics_board.h"
#include "util/version.h"

namespace {

constexpr char TOO_MANY_TEXT[] = "Too many connections from your address, please call back later.\r\n";
constexpr char TOO_MANY_CALLERS_TEXT[] = "Too many callers at the moment, please call back later.\r\n";

}

void CallTable::tell_refusal(RefusalReason reason, const char* line)
{
    const uint64_t now_ms = monotonic_ms();
    write_refusal_summary(now_ms);
    if (refusals_.record(reason, now_ms))
        std::printf("%s\n", line);
    stats_board.update([](StatusFigures& f) { ++f.callers_refused; });
}

int CallTable::write_refusal_summary(uint64_t now_ms)
{
    const std::string summary = refusals_.take_summary(now_ms);
    if (!summary.empty())
        std::printf("%s\n", summary.c_str());
    return refusals_.ms_until_summary(now_ms);
}

void CallTable::refuse(std::unique_ptr<CallerTransport> caller, const AccessDecision& decision)
{
    CallerTransport& connection = *caller;
    char address[TCP_ADDRESS_TEXT];
    tcp_address_text(connection.peer(), address);
    const AccessSettings& limits = access_.settings();
    char line[160];
    RefusalReason reason;
    const char* text = nullptr;
    switch (decision.verdict) {
    case AccessVerdict::Denied:
        reason = RefusalReason::Denied;
        std::snprintf(line, sizeof line, "Refused %s: on the Deny list", address);
        break;
    case AccessVerdict::NotAllowed:
        reason = RefusalReason::NotAllowed;
        std::snprintf(line, sizeof line, "Refused %s: not on the Allow list", address);
        break;
    case AccessVerdict::Banned:
        reason = RefusalReason::Banned;
        std::snprintf(line, sizeof line, "Refused %s: banned", address);
        break;
    case AccessVerdict::TooMany:
        reason = RefusalReason::AtTheLimit;
        text = TOO_MANY_TEXT;
        std::snprintf(line, sizeof line, "Refused %s: calls at once at the limit (%d)", address,
                      limits.max_per_address);
        break;
    case AccessVerdict::TooFast:
        reason = RefusalReason::TooFast;
        text = TOO_MANY_TEXT;
        if (decision.banned)
            std::snprintf(line, sizeof line, "Refused %s: %d connections within a minute, banned for %d s", address,
                          decision.count, limits.ban_seconds);
        else
            std::snprintf(line, sizeof line, "Refused %s: %d connections within a minute", address, decision.count);
        break;
    case AccessVerdict::TooManyCallers:
        reason = RefusalReason::TooManyCallers;
        text = TOO_MANY_CALLERS_TEXT;
        std::snprintf(line, sizeof line, "Refused %s: too many callers at once (%d)", address, limits.max_calls);
        break;
    case AccessVerdict::Admitted:
    default:
        return;
    }
    tell_refusal(reason, line);
    // Once per ban, whatever the lines of the second.
    if (decision.verdict == AccessVerdict::TooFast && decision.banned)
        app_log.write(LOG_INFO, "Access: %s banned for %d s after %d connections within a minute", address,
                      limits.ban_seconds, decision.count);
    // Denied and banned callers get not one byte; the others are told why.
    // A fresh socket's buffer takes the text without waiting; a transport
    // still to be set up is told on a thread of its own, or not at all
    // when none is free.
    if (text && !connection.ready()) {
        if (!setup_refusals_.take(caller, text))
            connection.close();
        return;
    }
    if (text) {
        connection.send(reinterpret_cast<const uint8_t*>(text), int(std::strlen(text)));
        // Unread input at close resets the connection, which can discard the
        // text; what has already arrived is read away (never waiting).
        uint8_t scratch[4096];
        for (int i = 0; i < 4 && connection.receive(scratch, sizeof scratch) > 0; ++i) {
        }
    }
    connection.close();
}

bool CallTable::accept_caller(CallerListener& listener)
{
    std::unique_ptr<CallerTransport> connection = listener.accept();
    if (!connection)
        return false;
    const TcpAddress caller = connection->peer();
    const AccessDecision decision = access_.admit(caller, monotonic_ms());
    if (decision.verdict != AccessVerdict::Admitted) {
        refuse(std::move(connection), decision);
        return true;
    }

    auto call = std::make_unique<Call>();
    call->caller = caller;
    call->signal = std::make_shared<CallSignal>(wake);
    call->session = std::make_unique<CallerSession>();
    CallerSession& session = *call->session;
    session.notify(call->signal);
    session.limit(session_limits_);
    // The number and the total are the caller's only once it has passed
    // the gate.
    if (session.start(std::move(connection), -1) != 0) {
        // No descriptor or thread left for it: turned away at once, and its
        // admission taken back, as it never had a call.
        access_.release(caller, monotonic_ms());
        char address[TCP_ADDRESS_TEXT];
        tcp_address_text(caller, address);
        char line[160];
        std::snprintf(line, sizeof line, "Refused %s: session could not start (out of descriptors or threads)",
                      address);
        tell_refusal(RefusalReason::NotStarted, line);
        return true;
    }
    if (session.by_ssh)
        ++ssh_callers_;
    if (session.by_web)
        ++web_callers_;

    session.print("ORVA v%s Connected.\r\n", ORVA_VERSION);
    if (session.gate_passed()) {
        open_call(*call);
    } else {
        // Counted against MaxCalls and its address like any caller, but
        // without a line until it has answered.
        session.print("Press ESC twice to call %s.\r\n", service_name);
        call->awaiting_gate = true;
    }
    calls.push_front(std::move(call));
    return true;
}

void CallTable::open_call(Call& call)
{
    CallerSession& session = *call.session;
    session_counter = uint16_t(session_counter + 1);
    session.number_as(session_counter);
    ++total_connections;
    stats_board.update([&](StatusFigures& f) {
        f.total_connections = total_connections;
        f.next_session = uint16_t(session_counter + 1);
    });
    // A caller still being set up takes no board line until it can use
    // one: one that never gets there holds none.
    if (session.ready())
        connect_to_board(call);
    else
        call.awaiting_transport = true;
}

void CallTable::connect_to_board(Call& call)
{
    CallerSession& session = *call.session;
    IpxAddress board;
    if (sap_agent.find_server(service_name, board)) {
        call.link = std::make_unique<BoardLink>(board_);
        call.link->notify(call.signal);
        if (call.link->open(board) == 0) {
            // Joined before the request: the board's first bytes go
            // straight to the caller.
            session.join(call.link.get());
            call.link->request_connection(service_name);
            session.look_up_name();
        } else {
            // No thread for the link: as good as no board host.
            call.link.reset();
        }
    }
    if (!call.link) {
        count_lost_to_downtime();
        session.print("%s", BOARD_DOWN_TEXT);
    }
}

// Serves one call; true when it is finished and may be removed.
bool CallTable::serve_call(Call& call)
{
    CallerSession& session = *call.session;
    if (call.awaiting_gate && session.connected && session.gate_passed()) {
        call.awaiting_gate = false;
        open_call(call);
    }
    if (call.awaiting_transport && session.connected && session.ready()) {
        call.awaiting_transport = false;
        connect_to_board(call);
    }
    BoardLink* link = call.link.get();
    bool finished = false;

    if ((call.awaiting_transport || call.awaiting_gate) && session.connected) {
        // Its transport's own limit ends a setup that never finishes.
    } else if (session.connected) {
        if (link && link->lost_to_silence.exchange(false))
            count_lost_to_downtime();
        // A circuit that ended leaves the caller connected until the board's
        // last bytes are out (held by the link while the caller was behind,
        // then in the session); a caller who stops reading is dropped by
        // its session. The session's I/O thread is asked to end first, and
        // the session disconnected once it has: the loop never waits for it.
        if (!link || (!link->alive && link->held_for_caller() == 0 && session.pending_output() == 0)) {
            if (session.stop_io()) {
                // Free before the caller sees the close: a redial at once
                // is a new call, not one too many.
                release_caller(call);
                session.disconnect();
                // The call goes in the next pass, not at the next full walk:
                // its address and session number are free at once.
                call.signal->raise();
            }
        } else if (!link->alive) {
            session.wake_when_drained();
        }
    } else if (session.stop_io()) {
        // The link, if still up, goes on ending the circuit on its own. As
        // above, the loop waits for no transport's goodbye: the session is
        // closed once its I/O thread has ended, which says so.
        session.close_if_open();
        finished = true;
        // One that answered and hung up before this pass saw it passed
        // the gate all the same: it only never took its line.
        if (call.awaiting_gate && !session.gate_passed()) {
            call.awaiting_gate = false;
            char address[TCP_ADDRESS_TEXT];
            tcp_address_text(call.caller, address);
            char line[160];
            std::snprintf(line, sizeof line, "Refused %s: did not pass the gate", address);
            tell_refusal(RefusalReason::GateNotPassed, line);
        }
    }

    if (session.check_lookup())
        session.changed = true;
    if (link && (session.changed || link->status_changed)) {
        session.changed = false;
        link->status_changed = false;
        int line = link->line;
        if (session.connected && link->alive) {
            stats_board.update_line(line, [&](LineEntry& e) {
                copy_text(e.address, session.address_text());
                e.state = LINE_CONNECTED;
            });
        } else {
            stats_board.update_line(line, [](LineEntry& e) { e.state = LINE_IDLE; });
        }
    }
    return finished;
}

void CallTable::remove_call(std::list<std::unique_ptr<Call>>::iterator at)
{
    std::unique_ptr<Call> call = std::move(*at);
    calls.erase(at);
    release_caller(*call);
    if (call->session->by_ssh)
        --ssh_callers_;
    if (call->session->by_web)
        --web_callers_;
    if (call->session->number >= 0)
        stats_board.update([&](StatusFigures& f) { f.last_session = uint16_t(call->session->number); });
    call->session.reset();
    if (call->link)
        retire_link(std::move(call->link));
}

void CallTable::count_lost_to_downtime()
{
    ++calls_lost_to_downtime;
    stats_board.update([&](StatusFigures& f) { f.calls_lost_downtime = calls_lost_to_downtime; });
}

void CallTable::release_caller(Call& call)
{
    if (call.released)
        return;
    call.released = true;
    access_.release(call.caller, monotonic_ms());
}

void CallTable::retire_link(std::unique_ptr<BoardLink> link)
{
    link->hang_up();
    if (link->finished) {
        link->close();
        return;
    }
    // A board host that never answers must not pile up links: the one
    // ending longest is let go.
    const int max_calls = access_.settings().max_calls;
    const size_t bound = max_calls > 0 ? size_t(max_calls) : ENDING_LINKS_BOUND;
    if (ending_links.size() >= bound) {
        ending_links.front()->close();
        ending_links.pop_front();
    }
    ending_links.push_back(std::move(link));
}

void CallTable::reap_ending_links()
{
    for (auto it = ending_links.begin(); it != ending_links.end();) {
        if ((*it)->finished) {
            (*it)->close();
            it = ending_links.erase(it);
        } else {
            ++it;
        }
    }
}

int CallTable::serve()
{
    // Taken back before anything is looked at: whatever is signalled from
    // here on ends the main loop's wait at once.
    wake->clear();
    // A listener that stays readable while accept fails (no descriptor
    // left) is not waited on again until a retry is due.
    bool accept_failed = false;
    for (Listening& l : listeners_) {
        l.accept_failed = l.listener->caller_waiting() && !accept_caller(*l.listener);
        accept_failed = accept_failed || l.accept_failed;
    }

    // A call is served when it has news, or is ending; and every call now
    // and then, so that nothing waits on a signal that went astray. A
    // finished call is removed at the next step of the walk (or after it),
    // never where the walk stands.
    const uint64_t now_ms = monotonic_ms();
    const bool full_walk = now_ms - last_full_walk_ms_ >= uint64_t(LONGEST_WAIT_MS);
    if (full_walk)
        last_full_walk_ms_ = now_ms;
    // A second whose refusal lines were held back is summed up when it is
    // over, whether or not another caller comes.
    const int refusal_ms = write_refusal_summary(now_ms);
    auto marked = calls.end();
    for (auto it = calls.begin(); it != calls.end(); ++it) {
        if (marked != calls.end()) {
            remove_call(marked);
            marked = calls.end();
        }
        Call& call = **it;
        const bool news = call.signal->take();
        if (!news && !full_walk && call.session->connected)
            continue;
        if (serve_call(call))
            marked = it;
    }
    if (marked != calls.end())
        remove_call(marked);
    reap_ending_links();

    stats_board.update([&](StatusFigures& f) {
        f.threads_used = live_worker_count;
        f.callers = int(calls.size());
        f.callers_ssh = ssh_callers_;
        f.callers_web = web_callers_;
    });

    int due_ms = LONGEST_WAIT_MS;
    if (refusal_ms >= 0)
        due_ms = std::min(due_ms, refusal_ms);
    if (accept_failed)
        due_ms = std::min(due_ms, ACCEPT_RETRY_MS);
    return due_ms;
}

int CallTable::descriptors(int* out, int room) const
{
    int n = 0;
    if (n < room)
        out[n++] = wake->descriptor();
    for (const Listening& l : listeners_)
        if (n < room && !l.accept_failed)
            out[n++] = l.listener->descriptor();
    return n;
}

bool CallTable::add_listener(std::unique_ptr<CallerListener> listener)
{
    if (!listener)
        return false;
    if (int(listeners_.size()) >= MAX_LISTENERS) {
        listener->close();
        return false;
    }
    listeners_.push_back(Listening{std::move(listener), false});
    return true;
}

int CallTable::init(AccessPolicy access, const BoardSettings& board, const CallSettings& limits)
{
    access_ = std::move(access);
    board_ = board;
    const AccessSettings& settings = access_.settings();
    session_limits_ = SessionLimits();
    if (settings.gate)
        session_limits_.gate_ms = settings.gate_seconds * 1000;
    session_limits_.idle_ms = limits.idle_minutes * limits.minute_ms;
    session_limits_.longest_ms = limits.longest_minutes * limits.minute_ms;
    // A call of one minute is told only that its time is up.
    if (limits.longest_minutes > 1)
        session_limits_.warning_ms = limits.minute_ms;
    load_counters(total_connections, counters_path.c_str());
    counters_loaded = true;
    counters_reserve_.take();
    stats_board.update([&](StatusFigures& f) {
        f.total_connections = total_connections;
        f.next_session = uint16_t(session_counter + 1);
    });
    return 0;
}

void CallTable::shutdown()
{
    setup_refusals_.stop();
    // Every I/O thread winds down at once; closing them one by one would
    // wait out each idle thread's socket wait in turn.
    for (auto& call : calls) {
        if (call->session)
            call->session->request_stop();
    }
    for (auto& call : calls) {
        if (call->session)
            call->session->close_if_open();
        if (call->link)
            call->link->close_if_open();
    }
    for (auto& link : ending_links)
        link->close();
    ending_links.clear();
    // Saved once the calls have given back their descriptors: a process out
    // of them could not open the file before.
    if (counters_loaded) {
        counters_reserve_.release();
        save_counters(total_connections, counters_path.c_str());
    }
    for (Listening& l : listeners_)
        l.listener->close();
    listeners_.clear();
}

CallTable call_table;
