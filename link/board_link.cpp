#include "link/board_link.h"

#include <algorithm>
#include <cstdio>

#include "port/clock.h"
#include "stats/statistics_board.h"

namespace {

constexpr int TO_CALLER_INITIAL = 512;
constexpr int TO_CALLER_LOW_WATER = 32;
constexpr int QUEUE_BLOCK = 4096;

}

BoardLink::BoardLink(const BoardSettings& settings) : stack_(nullptr), settings_(settings) {}

BoardLink::BoardLink(IpxStack& stack, const BoardSettings& settings) : stack_(&stack), settings_(settings) {}

BoardLink::~BoardLink()
{
    // A link destroyed without close would leave its thread in freed memory.
    if (endpoint_ || running_.get())
        close();
    release_worker(thread_);
}

void BoardLink::reset_state()
{
    {
        MutexHold hold(to_caller_lock);
        to_caller_ = std::make_unique<ByteQueue>(TO_CALLER_INITIAL, TO_CALLER_LOW_WATER, QUEUE_BLOCK);
    }
    {
        MutexHold hold(send_lock_);
        send_queue_.clear();
        circuit_ = KnetCircuit(settings_);
        // Handed over before the state that take_output copies says the
        // circuit ended: a dispatcher that saw the end first would hang up
        // without them.
        circuit_.set_caller_sink(this);
        now_ms_ = 0;
        take_output();
    }
    {
        MutexHold hold(from_caller_lock_);
        from_caller_ = std::make_unique<ByteQueue>(TO_CALLER_INITIAL, TO_CALLER_LOW_WATER, QUEUE_BLOCK);
    }
}

void BoardLink::prepare_for_testing()
{
    reset_state();
}

int BoardLink::open(const IpxAddress& board)
{
    reset_state();
    endpoint_ = stack_ ? std::make_unique<IpxEndpoint>(*stack_) : std::make_unique<IpxEndpoint>();
    // A failed open shows at the first poll, which then brings the link down.
    endpoint_->open(0);
    endpoint_->set_destination(board);
    // The header names the sender: any node may send to our socket.
    endpoint_->set_receive_header(1);
    board_ = board;
    running_.set(true);
    release_worker(thread_);
    thread_ = WorkerThread::start(&BoardLink::run_routine, this, &loop_lock_, "orva-link");
    if (!thread_) {
        running_.set(false);
        endpoint_->close();
        endpoint_.reset();
        MutexHold hold(send_lock_);
        circuit_.end();
        take_output();
        return -1;
    }
    return 0;
}

int BoardLink::run_routine(void* self)
{
    static_cast<BoardLink*>(self)->run();
    return 0;
}

void BoardLink::run()
{
    MutexHold hold(loop_lock_);
    while (running_.get()) {
        if (!cycle())
            endpoint_->wait(wait_ms());
    }
}

int BoardLink::wait_ms()
{
    MutexHold hold(send_lock_);
    if (send_queue_.size() > 0)
        return SEND_RETRY_MS;
    const uint64_t due = circuit_.next_due_ms();
    const uint64_t now = monotonic_ms();
    if (due <= now)
        return 0;
    return int(std::min<uint64_t>(due - now, LONGEST_WAIT_MS));
}

void BoardLink::notify_dispatcher()
{
    if (notify_)
        notify_->raise();
}

void BoardLink::caller_took_output()
{
    if (endpoint_)
        endpoint_->wake();
}

void BoardLink::attach(CallerEnd* end)
{
    MutexHold hold(to_caller_lock);
    caller_end_ = end;
}

void BoardLink::detach()
{
    MutexHold hold(to_caller_lock);
    caller_end_ = nullptr;
}

void BoardLink::deliver_held()
{
    MutexHold hold(to_caller_lock);
    if (caller_end_ && to_caller_ && to_caller_->size() > 0 &&
        caller_end_->take_board_bytes(to_caller_->head(), to_caller_->size()))
        to_caller_->clear();
}

void BoardLink::take_output()
{
    caller_behind = circuit_.caller_behind();
    send_queue_.take(circuit_.packets(), SEND_QUEUE_BOUND);
    const bool was_alive = alive;
    const bool was_finished = finished;
    alive = circuit_.alive;
    circuit = circuit_.circuit;
    line = circuit_.line;
    circuit0_sequence = circuit_.circuit0_sequence;
    control_sequence = circuit_.control_sequence;
    data_sequence = circuit_.data_sequence;
    peer_ready = circuit_.peer_ready;
    awaiting_ack = circuit_.awaiting_ack;
    pending_sequence = circuit_.pending_sequence;
    if (circuit_.take_lost_to_silence())
        lost_to_silence = true;
    post_counts(circuit_.take_counts());
    finished = circuit_.finished();
    // Only once the members hold their new values: a dispatcher that saw
    // the flag first would clear it and read the old line or state. The
    // fall of alive counts as news too.
    bool state_news = false;
    if (circuit_.take_status_changed() || was_alive != alive) {
        status_changed = true;
        state_news = true;
    }
    if (state_news || was_finished != finished)
        notify_dispatcher();
}

bool BoardLink::cycle()
{
    now_ms_ = monotonic_ms();
    // Room the caller made: what waits for it goes before new bytes come.
    deliver_held();
    int ready = endpoint_->poll();
    if (ready & PollReadable) {
        // Taken whole from the stack, not copied.
        const int n = endpoint_->receive_packet(datagram_);
        if (n < static_cast<int>(IPX_HEADER_SIZE)) {
            ready = PollError;
        } else if (IpxAddress::read(datagram_.data() + IPX_SOURCE_OFFSET) == board_) {
            if (n == static_cast<int>(IPX_HEADER_SIZE))
                ready = PollError; // an empty datagram
            else
                handle_datagram(datagram_.data() + IPX_HEADER_SIZE, n - static_cast<int>(IPX_HEADER_SIZE));
        }
        // Another sender's datagram is not the board's: dropped unread.
    }
    if (ready & PollError) {
        MutexHold hold(send_lock_);
        circuit_.endpoint_failed();
        take_output();
    }
    send_from_caller();
    tick(now_ms_);
    // One datagram per cycle; the next cycle comes at once while more wait.
    const bool sent = (ready & PollWritable) && send_queued();
    MutexHold hold(send_lock_);
    return sent && send_queue_.size() > 0;
}

void BoardLink::tick(uint64_t now_ms)
{
    const int held = held_for_caller();
    bool room_made;
    {
        // A copy of the outstanding Data is built from the caller's bytes.
        MutexHold from(from_caller_lock_);
        MutexHold hold(send_lock_);
        now_ms_ = now_ms;
        const uint8_t* unacked = from_caller_ && from_caller_->size() > 0 ? from_caller_->head() : nullptr;
        circuit_.tick(now_ms, held, send_queue_.size() == 0, unacked);
        take_output();
        room_made = drop_released();
    }
    if (room_made)
        wake_caller_input();
}

void BoardLink::handle_datagram(const uint8_t* bytes, int count)
{
    const int held = held_for_caller();
    {
        MutexHold hold(send_lock_);
        circuit_.handle_datagram(bytes, count, now_ms_, held);
        take_output();
    }
    // What the board host acknowledged leaves the caller's bytes.
    bool room_made;
    {
        MutexHold from(from_caller_lock_);
        MutexHold hold(send_lock_);
        room_made = drop_released();
    }
    if (room_made)
        wake_caller_input();
}

bool BoardLink::drop_released()
{
    const int released = circuit_.take_released();
    if (released == 0 || !from_caller_)
        return false;
    const int before = from_caller_->size();
    from_caller_->consume(released);
    return before >= FROM_CALLER_BOUND && from_caller_->size() < FROM_CALLER_BOUND;
}

void BoardLink::wake_caller_input()
{
    MutexHold hold(to_caller_lock);
    if (caller_end_)
        caller_end_->input_room();
}

void BoardLink::post_counts(const CircuitCounts& counts)
{
    if (counts.lost_busy)
        stats_board.update([](StatusFigures& f) { ++f.calls_lost_busy; });
    if (counts.sequence_in_line)
        stats_board.update_line(counts.sequence_in_line, [&](LineEntry& e) { e.seq_in = counts.sequence_in; });
    if (counts.sequence_out_line)
        stats_board.update_line(counts.sequence_out_line, [&](LineEntry& e) { e.seq_out = counts.sequence_out; });
}

int BoardLink::bytes_for_caller(const uint8_t* bytes, int count)
{
    MutexHold hold(to_caller_lock);
    if (!to_caller_)
        return 0;
    // Held bytes go first, so the order stays.
    const bool handed = to_caller_->size() == 0 && caller_end_ && caller_end_->take_board_bytes(bytes, count);
    if (!handed)
        to_caller_->append(bytes, count);
    return to_caller_->size();
}

int BoardLink::held_for_caller()
{
    MutexHold hold(to_caller_lock);
    return to_caller_ ? to_caller_->size() : 0;
}

void BoardLink::send_from_caller()
{
    MutexHold hold(from_caller_lock_);
    if (!from_caller_ || from_caller_->size() == 0)
        return;
    MutexHold send(send_lock_);
    // The packet is built from the queue's head, where its bytes stay until
    // the board host acknowledges them.
    if (circuit_.take_caller_bytes(from_caller_->head(), from_caller_->size(), now_ms_) > 0)
        take_output();
}

bool BoardLink::send_queued()
{
    MutexHold hold(send_lock_);
    if (send_queue_.size() < KNET_HEADER_SIZE)
        return false;
    const int size = KNET_HEADER_SIZE + get_be16(send_queue_.head());
    if (endpoint_->send(send_queue_.head(), size) <= 0) {
        std::printf("socket send error\n");
        return false;
    }
    send_queue_.consume(size);
    return true;
}

void BoardLink::request_connection(const char* service_name)
{
    {
        MutexHold hold(send_lock_);
        circuit_.request_connection(service_name);
        take_output();
    }
    if (endpoint_)
        endpoint_->wake();
}

void BoardLink::hang_up()
{
    {
        MutexHold hold(send_lock_);
        circuit_.hang_up(monotonic_ms());
        take_output();
    }
    if (endpoint_)
        endpoint_->wake();
}

void BoardLink::send_control(uint8_t control, uint8_t ack_flag)
{
    {
        MutexHold hold(send_lock_);
        circuit_.send_control(control, ack_flag);
        take_output();
    }
    // The dispatcher's request goes out now, not after an idle wait.
    if (endpoint_)
        endpoint_->wake();
}

void BoardLink::append_from_caller(const uint8_t* bytes, int count)
{
    if (count <= 0)
        return;
    {
        MutexHold hold(from_caller_lock_);
        if (from_caller_)
            from_caller_->append(bytes, count);
    }
    if (endpoint_)
        endpoint_->wake();
}

int BoardLink::from_caller_size()
{
    MutexHold hold(from_caller_lock_);
    return from_caller_ ? from_caller_->size() : 0;
}

int BoardLink::copy_send_queue(uint8_t* out, int size)
{
    MutexHold hold(send_lock_);
    return send_queue_.copy_out(out, size);
}

void BoardLink::clear_send_queue()
{
    MutexHold hold(send_lock_);
    send_queue_.clear();
}

void BoardLink::close()
{
    {
        MutexHold hold(send_lock_);
        circuit_.end();
        circuit = NoCircuit;
    }
    stop_worker(running_, false, loop_lock_, [this] {
        if (endpoint_)
            endpoint_->wake();
    });
    alive = false;
    finished = true;
    if (endpoint_) {
        endpoint_->close();
        endpoint_.reset();
    }
    {
        MutexHold hold(send_lock_);
        send_queue_.clear();
    }
    {
        MutexHold hold(to_caller_lock);
        caller_end_ = nullptr;
        if (to_caller_)
            to_caller_->clear();
    }
    clear_holding(from_caller_lock_, from_caller_);
}

void BoardLink::close_if_open()
{
    if (endpoint_)
        close();
}
