#include "calls/caller_session.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "port/clock.h"
#include "port/event_wait.h"
#include "stats/statistics_board.h"

namespace {
std::atomic<NameLookup> name_lookup{tcp_reverse_name};
std::atomic<int> lookups_in_flight{0};

std::unique_ptr<ByteQueue> new_input_queue() { return std::make_unique<ByteQueue>(128, 16, 4096); }

constexpr char NO_ANSWER_TEXT[] = "No answer, goodbye.\r\n";
constexpr char IDLE_TEXT[] = "You have been idle too long. Goodbye.\r\n";
constexpr char TIME_UP_TEXT[] = "Your time is up. Goodbye.\r\n";
constexpr char ONE_MINUTE_LEFT_TEXT[] = "One minute left.\r\n";
}

void CallerSession::set_name_lookup(NameLookup lookup)
{
    name_lookup.store(lookup ? lookup : tcp_reverse_name);
}

CallerSession::CallerSession() = default;

CallerSession::~CallerSession()
{
    // The threads must be done with the connection before it goes.
    close_if_open();
    release_worker(resolver_thread);
    release_worker(io_thread);
}

void CallerSession::limit(const SessionLimits& limits)
{
    limits_ = limits;
    gate_ = CallerGate(limits.gate_ms);
    gate_passed_ = gate_.state() == CallerGate::State::Passed;
}

int CallerSession::start(std::unique_ptr<CallerTransport> accepted, int session_number)
{
    if (!accepted)
        return -1;
    // Without its wake descriptor the I/O thread could not be told to stop
    // while it waits on an idle caller, and disconnect would wait for ever.
    if (io_wake_.descriptor() < 0) {
        accepted->close();
        return -1;
    }
    // Set before the I/O thread looks at it.
    connected = true;
    tcp_address_text(accepted->peer(), dotted);

    input = new_input_queue();
    output = std::make_unique<ByteQueue>(4096, 512, 4096);
    accepted->opening(*output);
    lookup = std::make_shared<NameLookupState>();
    lookup->peer = accepted->peer();
    lookup->notify = notify_;
    std::memcpy(lookup->dotted, dotted, sizeof dotted);
    by_ssh = accepted->by_ssh();
    by_web = accepted->by_web();
    const bool ready_now = accepted->ready();
    connection = std::move(accepted);
    // Before the I/O thread runs: nothing else looks at the session yet.
    if (ready_now)
        become_ready();
    keep_running.set(true);

    // The I/O thread holds its lock from before start returns, so the wait
    // in disconnect holds even right after start.
    io_thread = WorkerThread::start(io_loop, this, &io_lock, "orva-caller");
    if (!io_thread) {
        connected = false;
        keep_running.set(false);
        lookup.reset();
        connection->close();
        connection.reset();
        return -1;
    }
    changed = true;
    number = session_number;
    if (session_number >= 0)
        number_as(session_number);
    return 0;
}

void CallerSession::number_as(int session_number)
{
    number = session_number;
    std::printf("[%d] Connection: %s\n", number, dotted);
}

void CallerSession::join(BoardLink* link)
{
    int32_t handed = 0;
    {
        MutexHold in(input_lock);
        link_ = link;
        if (!read_buffer_)
            read_buffer_ = std::make_unique<uint8_t[]>(READ_SIZE + 1);
        // What came before the link goes ahead of what comes after.
        std::vector<uint8_t> early;
        early.swap(after_gate_);
        if (input && input->size() > 0) {
            const int32_t decoded = connection ? connection->decode(input->head(), input->size()) : 0;
            early.insert(early.end(), input->head(), input->head() + decoded);
            input->clear();
        }
        if (!early.empty()) {
            handed = int32_t(early.size());
            const uint8_t* data = early.data();
            std::vector<uint8_t> translated;
            if (utf8_) {
                translated.resize(early.size() + 1);
                handed = utf8_->to_cp437(data, handed, translated.data());
                data = translated.data();
            }
            link->append_from_caller(data, handed);
        }
        // The call's time runs from its board line.
        joined_ms_ = last_input_ms_ = monotonic_ms();
    }
    if (handed > 0)
        stats_board.add_input_bytes(handed);
    link->attach(this);
    // Reading may have paused at the input limit.
    io_wake_.signal();
}

void CallerSession::look_up_name()
{
    if (!lookup || lookup_started_)
        return;
    lookup_started_ = true;
    // Lookups stuck on a slow resolver must not pile up a thread per caller.
    if (lookups_in_flight.fetch_add(1) >= LOOKUPS_IN_FLIGHT_LIMIT) {
        lookups_in_flight.fetch_sub(1);
        return;
    }
    // The thread owns a reference of its own and never sees the session.
    auto* state = new std::shared_ptr<NameLookupState>(lookup);
    resolver_thread = WorkerThread::start_task(resolve_name, state, "orva-lookup");
    if (!resolver_thread) {
        delete state;
        lookups_in_flight.fetch_sub(1);
    }
}

int CallerSession::resolve_name(void* owner)
{
    std::unique_ptr<std::shared_ptr<NameLookupState>> held(static_cast<std::shared_ptr<NameLookupState>*>(owner));
    NameLookupState& state = **held;
    std::string name;
    std::string text;
    if (name_lookup.load()(state.peer, name))
        text = name;
    else
        text = std::string("[") + state.dotted + "]";
    char* copy = new char[text.size() + 1];
    std::memcpy(copy, text.c_str(), text.size() + 1);
    state.name.store(copy, std::memory_order_release);
    state.fresh = true;
    if (state.notify)
        state.notify->raise();
    lookups_in_flight.fetch_sub(1);
    return 0;
}

int CallerSession::io_loop(void* self)
{
    static_cast<CallerSession*>(self)->run_io();
    return 0;
}

void CallerSession::notify_dispatcher()
{
    if (notify_)
        notify_->raise();
}

void CallerSession::mark_lost()
{
    connected = false;
    changed = true;
    notify_dispatcher();
}

void CallerSession::run_io()
{
    MutexHold hold(io_lock);
    uint64_t progress_ms = monotonic_ms();
    next_limit_ms_ = apply_limits(progress_ms);
    // Dropped for taking none of its output: nothing more is sent to it.
    bool stalled = false;
    while (keep_running.get()) {
        int r = wait_for_work(progress_ms);
        if (!keep_running.get())
            break;
        if (!ready_.load(std::memory_order_relaxed) && connection->ready())
            become_ready();
        if ((r & PollReadable) && !read_input())
            r = PollError;
        int sent = 0;
        if (r & PollError) {
            if (connected)
                mark_lost();
        } else if (r & (PollWritable | PollWoken)) {
            // Woken for new output, the socket most likely takes it now:
            // a send that would block costs less than another wait.
            sent = flush_output();
        }
        const uint64_t now_ms = monotonic_ms();
        next_limit_ms_ = apply_limits(now_ms);
        if (!(r & PollError) && probe_held_input(now_ms)) {
            // The stall clock starts with the NOP: the queue was empty, so
            // the caller was behind on nothing before it.
            progress_ms = now_ms;
            sent = flush_output();
        }
        if (sent > 0 || pending_output() == 0)
            progress_ms = now_ms;
        else if (connected && now_ms - progress_ms >= uint64_t(STALL_LIMIT_MS)) {
            stalled = true;
            mark_lost(); // output waits and the caller takes none of it
        }
    }

    // One more try without blocking, for a caller who hung up with a text
    // still to go: a caller who is gone or not reading loses what is left.
    // A socket that would not wake us for room may still take a little,
    // but the stalled caller has had its time.
    if (!stalled) {
        flush_output();
        connection->finish();
    }
    {
        MutexHold out(output_lock);
        output->clear();
    }
    // Unread input at close makes the stack reset the connection, which can
    // discard the text just flushed; read it away so the close is orderly.
    uint8_t scratch[4096];
    for (int i = 0; i < 16; i++) {
        if (connection->receive(scratch, sizeof scratch) <= 0)
            break;
    }
    io_done_ = true;
    notify_dispatcher();
}

void CallerSession::become_ready()
{
    BoardLink* link;
    {
        MutexHold in(input_lock);
        MutexHold out(output_lock);
        if (connection->charset() == Charset::Utf8 && !utf8_)
            utf8_ = std::make_unique<Cp437Utf8>();
        ready_.store(true, std::memory_order_release);
        link = link_;
    }
    // The caller sees the gate's question from now on.
    gate_.ask(monotonic_ms());
    // The board's bytes it held back.
    if (link)
        link->caller_took_output();
    // A call waiting for its transport may take a board line now.
    notify_dispatcher();
}

int CallerSession::wait_for_work(uint64_t progress_ms)
{
    // Taken back, once it was seen, before the queues are looked at:
    // whatever is signalled from here on ends the wait below at once. A
    // stop signalled just before is seen in the flag instead.
    if (woken_) {
        io_wake_.clear();
        woken_ = false;
    }
    if (!keep_running.get())
        return 0;
    if (!connected) {
        // A lost caller's socket may report its hang-up for ever; only the
        // stop is waited for.
        const int wake = io_wake_.descriptor();
        wait_for_any_readable(&wake, 1, -1);
        woken_ = true;
        return 0;
    }
    bool readable;
    bool writable;
    {
        // A caller whose bytes are not being taken (by the link, or by no
        // one) is left to TCP flow control instead of growing a queue
        // without end.
        MutexHold in(input_lock);
        readable = input_has_room();
    }
    {
        MutexHold out(output_lock);
        writable = output->size() > 0;
    }
    const uint64_t now_ms = monotonic_ms();
    if (readable)
        held_probe_due_ms_ = 0;
    else if (held_probe_due_ms_ == 0)
        held_probe_due_ms_ = now_ms + uint64_t(HELD_INPUT_PROBE_MS);
    int timeout_ms = -1;
    if (writable) {
        const uint64_t stalled_at = progress_ms + uint64_t(STALL_LIMIT_MS);
        timeout_ms = stalled_at > now_ms ? int(stalled_at - now_ms) : 0;
    } else if (!readable) {
        // Output that waits draws a reset from a caller who is gone by
        // itself; with none, the next NOP is what the wait is for.
        timeout_ms = held_probe_due_ms_ > now_ms ? int(held_probe_due_ms_ - now_ms) : 0;
    }
    if (next_limit_ms_ != 0) {
        const int limit_ms = next_limit_ms_ > now_ms ? int(next_limit_ms_ - now_ms) : 0;
        timeout_ms = timeout_ms < 0 ? limit_ms : std::min(timeout_ms, limit_ms);
    }
    const int r = connection->wait(readable, writable, timeout_ms, io_wake_.descriptor());
    if (r & PollWoken)
        woken_ = true;
    return r;
}

bool CallerSession::input_has_room() const
{
    if (ending_.load(std::memory_order_relaxed))
        return false;
    return link_ ? link_->from_caller_size() < BoardLink::FROM_CALLER_BOUND : input->size() < INPUT_LIMIT;
}

bool CallerSession::read_input()
{
    int n;
    int32_t handed = 0;
    {
        MutexHold in(input_lock);
        if (!input_has_room())
            return true;
        if (!gate_passed_.load(std::memory_order_relaxed))
            return read_into_gate();
        if (link_) {
            // Straight to the link: the caller's data bytes, its
            // transport's commands taken out in place, then translated
            // into the headroom and over them.
            uint8_t* data = read_buffer_.get() + 1;
            n = connection->receive(data, READ_SIZE);
            if (n > 0) {
                handed = connection->decode(data, n);
                if (utf8_) {
                    handed = utf8_->to_cp437(data, handed, read_buffer_.get());
                    data = read_buffer_.get();
                }
                link_->append_from_caller(data, handed);
                if (handed > 0)
                    last_input_ms_ = monotonic_ms();
            }
        } else {
            input->reserve(READ_SIZE);
            if (input->space() <= 0)
                return true;
            n = connection->receive(input->tail(), input->space());
            if (n > 0)
                input->commit(n);
        }
    }
    if (handed > 0)
        stats_board.add_input_bytes(handed);
    if (n > 0)
        return true;
    return n == TCP_WOULD_BLOCK; // 0: the caller closed; -1: the socket failed
}

bool CallerSession::read_into_gate()
{
    if (!read_buffer_)
        read_buffer_ = std::make_unique<uint8_t[]>(READ_SIZE + 1);
    uint8_t* data = read_buffer_.get();
    const int n = connection->receive(data, READ_SIZE);
    if (n <= 0)
        return n == TCP_WOULD_BLOCK;
    // What the caller typed before it passed, the ESCs too, never reaches
    // the board.
    const int32_t decoded = connection->decode(data, n);
    const int32_t looked = gate_.feed(data, decoded);
    if (gate_.state() == CallerGate::State::Passed) {
        after_gate_.assign(data + looked, data + decoded);
        gate_passed_.store(true, std::memory_order_release);
        notify_dispatcher();
    } else if (gate_.state() == CallerGate::State::Failed) {
        say_goodbye(NO_ANSWER_TEXT);
    }
    return true;
}

uint64_t CallerSession::apply_limits(uint64_t now_ms)
{
    if (!connected)
        return 0;
    if (ending_) {
        if (pending_output() == 0)
            mark_lost();
        return 0;
    }
    if (!gate_passed_.load(std::memory_order_relaxed)) {
        if (gate_.check_time(now_ms) != CallerGate::State::Failed)
            return gate_.deadline_ms();
        say_goodbye(NO_ANSWER_TEXT);
        return 0;
    }
    uint64_t joined_ms;
    uint64_t last_input_ms;
    {
        MutexHold in(input_lock);
        joined_ms = joined_ms_;
        last_input_ms = last_input_ms_;
    }
    if (joined_ms == 0)
        return 0;
    uint64_t next_ms = 0;
    const auto due = [&](uint64_t at_ms) {
        if (next_ms == 0 || at_ms < next_ms)
            next_ms = at_ms;
    };
    if (limits_.longest_ms > 0) {
        const uint64_t end_ms = joined_ms + uint64_t(limits_.longest_ms);
        if (now_ms >= end_ms) {
            say_goodbye(TIME_UP_TEXT);
            return 0;
        }
        due(end_ms);
        if (limits_.warning_ms > 0 && !warned_) {
            const uint64_t warn_ms = end_ms - uint64_t(limits_.warning_ms);
            if (now_ms >= warn_ms) {
                warned_ = true;
                print("%s", ONE_MINUTE_LEFT_TEXT);
            } else {
                due(warn_ms);
            }
        }
    }
    if (limits_.idle_ms > 0) {
        const uint64_t idle_end_ms = last_input_ms + uint64_t(limits_.idle_ms);
        if (now_ms >= idle_end_ms) {
            say_goodbye(IDLE_TEXT);
            return 0;
        }
        due(idle_end_ms);
    }
    return next_ms;
}

void CallerSession::say_goodbye(const char* text)
{
    if (ending_.exchange(true))
        return;
    // Board bytes already queued go ahead of it; none follow it.
    print("%s", text);
    // Reading has stopped; the loop looks again once the text is out.
    io_wake_.signal();
}

int CallerSession::flush_output()
{
    int sent;
    bool room = false;
    bool drained = false;
    {
        MutexHold out(output_lock);
        const int32_t before = output->size();
        if (before == 0)
            return 0;
        sent = connection->send(output->head(), before);
        if (sent > 0) {
            // Only what went out leaves the queue; the rest keeps its order.
            output->consume(sent);
            const int32_t after = output->size();
            room = before >= OUTPUT_BOUND && after < OUTPUT_BOUND;
            drained = after == 0 && drain_wanted_.exchange(false);
        } else if (sent < 0) {
            output->clear();
        }
    }
    if (sent < 0) {
        mark_lost();
        return sent;
    }
    // The link holds what the caller had no room for.
    if (room) {
        MutexHold in(input_lock);
        if (link_)
            link_->caller_took_output();
    }
    if (drained)
        notify_dispatcher();
    return sent;
}

bool CallerSession::probe_held_input(uint64_t now_ms)
{
    if (held_probe_due_ms_ == 0 || now_ms < held_probe_due_ms_ || !connected)
        return false;
    held_probe_due_ms_ = now_ms + uint64_t(HELD_INPUT_PROBE_MS);
    MutexHold out(output_lock);
    // Output that waits draws the same reset once it goes out, and the
    // stall limit ends a caller who takes none of it: no NOP is needed.
    if (output->size() > 0)
        return false;
    connection->keepalive(*output);
    return output->size() > 0;
}

void CallerSession::wake_when_drained()
{
    drain_wanted_ = true;
    // Drained already: the I/O thread will not say so again.
    if (pending_output() == 0 && drain_wanted_.exchange(false))
        notify_dispatcher();
}

bool CallerSession::check_lookup()
{
    if (resolver_thread && !resolver_thread->is_running())
        release_worker(resolver_thread);
    return lookup && lookup->fresh.exchange(false);
}

int32_t CallerSession::pending_output()
{
    MutexHold out(output_lock);
    return output ? output->size() : 0;
}

bool CallerSession::room_for_output(int32_t more)
{
    if (!output || output_overflowed)
        return false;
    if (int64_t(output->size()) + more > OUTPUT_LIMIT) {
        // A caller this far behind is not reading: treat it as gone rather
        // than hold its output without bound.
        output_overflowed = true;
        output->clear();
        mark_lost();
        return false;
    }
    return true;
}

void CallerSession::receive_for_testing(const uint8_t* bytes, int32_t count)
{
    MutexHold in(input_lock);
    if (!input)
        input = new_input_queue();
    input->append(bytes, count);
}

void CallerSession::take_input(ByteQueue& destination)
{
    MutexHold in(input_lock);
    if (!input)
        return;
    int32_t n = input->size();
    if (n == 0)
        return;
    // Translation may give one byte more than it was handed.
    const int32_t room = utf8_ ? n + 1 : n;
    destination.reserve(room);
    if (destination.space() < room || !connection)
        return; // no room can be made: the bytes wait for a later pass
    const int32_t decoded = connection->decode(input->head(), n);
    if (utf8_)
        destination.commit(utf8_->to_cp437(input->head(), decoded, destination.tail()));
    else
        destination.append(input->head(), decoded);
    input->consume(n);
    // A full queue had stopped the reading; it may go on.
    if (n >= INPUT_LIMIT)
        io_wake_.signal();
}

int CallerSession::print(const char* format, ...)
{
    char small[256];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int needed = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    std::string text;
    if (needed > 0 && size_t(needed) >= sizeof small) {
        text.resize(size_t(needed) + 1);
        std::vsnprintf(text.data(), text.size(), format, again);
        text.resize(size_t(needed));
    } else if (needed > 0) {
        text.assign(small, size_t(needed));
    }
    va_end(again);
    if (text.empty())
        return 0;

    bool was_empty;
    bool added;
    {
        MutexHold out(output_lock);
        if (!room_for_output(int32_t(text.size())))
            return 0;
        was_empty = output->size() == 0;
        added = output->append(text.data(), int32_t(text.size()));
    }
    output_added(was_empty && added);
    return added ? int(text.size()) : 0;
}

void CallerSession::output_added(bool was_empty)
{
    if (was_empty)
        io_wake_.signal();
}

void CallerSession::write(const uint8_t* bytes, int32_t count)
{
    if (count > 0)
        queue_output(bytes, count);
}

bool CallerSession::queue_output(const uint8_t* bytes, int32_t count)
{
    bool was_empty;
    {
        MutexHold out(output_lock);
        if (!connection || ending_)
            return false;
        if (utf8_) {
            // Translated first: the transport encodes what the caller sees.
            const size_t needed = size_t(count) * Cp437Utf8::MAX_UTF8_PER_BYTE;
            if (to_caller_utf8_.size() < needed)
                to_caller_utf8_.resize(needed);
            count = Cp437Utf8::to_utf8(bytes, count, to_caller_utf8_.data());
            bytes = to_caller_utf8_.data();
        }
        if (!room_for_output(connection->encoded_size(bytes, count)))
            return false;
        was_empty = output->size() == 0;
        if (!connection->encode(bytes, count, *output))
            return false;
    }
    output_added(was_empty);
    return true;
}

bool CallerSession::take_board_bytes(const uint8_t* bytes, int32_t count)
{
    if (count <= 0)
        return true;
    // Not translated before the caller's character set is known: the link
    // holds them until become_ready asks again.
    if (!ready() || pending_output() >= OUTPUT_BOUND)
        return false;
    // A caller gone or over its limit loses them, as it loses the rest.
    if (queue_output(bytes, count))
        stats_board.add_output_bytes(count);
    return true;
}

void CallerSession::input_room()
{
    io_wake_.signal();
}

const char* CallerSession::address_text() const
{
    if (const char* name = lookup ? lookup->name.load(std::memory_order_acquire) : nullptr)
        return name;
    if (connection)
        return dotted;
    return nullptr;
}

void CallerSession::disconnect()
{
    connected = false;
    stop_worker(keep_running, false, io_lock, [this] { io_wake_.signal(); });
    // The link's thread hands over nothing more once detach returns.
    BoardLink* link;
    {
        MutexHold in(input_lock);
        link = link_;
    }
    if (link)
        link->detach();
    if (connection) {
        // A caller that never passed the gate had no number and is told of
        // as refused.
        if (number >= 0)
            std::printf("[%d] Disconnected.\n", number);
        connection->close();
        connection.reset();
    }
    clear_holding(output_lock, output);
    clear_holding(input_lock, input);
}

void CallerSession::request_stop()
{
    keep_running.set(false);
    io_wake_.signal();
}

bool CallerSession::stop_io()
{
    request_stop();
    return io_done_ || !io_thread;
}

void CallerSession::close_if_open()
{
    if (connection)
        disconnect();
}
