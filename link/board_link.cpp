#include "link/board_link.h"

#include <cstdarg>
#include <cstdio>

#include "app/statistics_board.h"
#include "port/clock.h"

namespace {

constexpr int TO_CALLER_INITIAL = 512;
constexpr int TO_CALLER_LOW_WATER = 32;
constexpr int SEND_QUEUE_INITIAL = 4096;
constexpr int SEND_QUEUE_LOW_WATER = 512;
constexpr int QUEUE_BLOCK = 4096;

const char* const BUSY_TEXT = "KELB is currently busy, please call back again later.\r\n";

// A refused packet goes again soon, but not in a tight loop with a board
// host that refuses everything.
constexpr uint64_t RESEND_AFTER_NACK_MS = 50;

}

const char* const BOARD_DOWN_TEXT = "\r\nKELB is currently down.  Please try back later.\r\n";

BoardLink::BoardLink() : stack_(nullptr) {}

BoardLink::BoardLink(IpxStack& stack) : stack_(&stack) {}

BoardLink::~BoardLink()
{
    // A link destroyed without close would leave its thread in freed memory.
    if (endpoint_ || running_.get())
        close();
    release_worker(thread_);
}

void BoardLink::reset_state()
{
    pending_sequence = 0;
    alive = true;
    status_changed = true;
    peer_ready = true;
    awaiting_ack = false;
    circuit = 0;
    line = 0;
    circuit0_sequence = 1;
    control_sequence = 1;
    data_sequence = 1;
    outstanding_.clear();
    outstanding_sent_ms_ = 0;
    resend_after_nack_ = false;
    waiting_for_accept_ = false;
    clock_started_ = false;
    now_ms_ = 0;
    last_heard_ms_ = 0;
    last_probe_ms_ = 0;
    have_board_sequence_ = false;
    last_board_sequence_ = 0;
    ack_deferred_ = false;
    {
        MutexHold hold(to_caller_lock);
        to_caller_ = std::make_unique<ByteQueue>(TO_CALLER_INITIAL, TO_CALLER_LOW_WATER, QUEUE_BLOCK);
    }
    {
        MutexHold hold(send_lock_);
        send_queue_ = std::make_unique<ByteQueue>(SEND_QUEUE_INITIAL, SEND_QUEUE_LOW_WATER, QUEUE_BLOCK);
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
    running_.set(true);
    release_worker(thread_);
    thread_ = WorkerThread::start(&BoardLink::run_routine, this, &loop_lock_);
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
    int quiet_cycles = 0;
    while (running_.get()) {
        quiet_cycles = cycle() ? 0 : quiet_cycles + 1;
        endpoint_->wait(quiet_cycles < IDLE_CYCLES ? 1 : IDLE_WAIT_MS);
    }
}

bool BoardLink::cycle()
{
    now_ms_ = performance_ticks() / 1000000u;
    int ready = endpoint_->poll();
    const bool received = (ready & PollReadable) != 0;
    if (received) {
        const int n = endpoint_->receive(receive_buffer_, sizeof receive_buffer_);
        if (n <= 0)
            ready = PollError;
        else
            handle_datagram(receive_buffer_, n);
    }
    if (((ready & PollError) || circuit == NoCircuit) && alive) {
        // A failed endpoint also frees the caller's line on the board. The
        // dispatcher reads alive once it sees status_changed, so the flag
        // is raised after the change, never before.
        alive = false;
        status_changed = true;
    }
    const bool caller_bytes = from_caller_size() > 0;
    send_from_caller();
    tick(now_ms_);
    if (ready & PollWritable)
        send_queued();
    MutexHold hold(send_lock_);
    return received || caller_bytes || ack_deferred_ || (send_queue_ && send_queue_->size() > 0);
}

void BoardLink::tick(uint64_t now_ms)
{
    now_ms_ = now_ms;
    if (!clock_started_) {
        clock_started_ = true;
        last_heard_ms_ = now_ms;
        last_probe_ms_ = now_ms;
    }
    if (!alive)
        return;

    if (ack_deferred_ && to_caller_size() < TO_CALLER_BOUND) {
        ack_deferred_ = false;
        send_ack(deferred_circuit_, deferred_sequence_);
    }

    const uint64_t resend_after = resend_after_nack_ ? RESEND_AFTER_NACK_MS : RESEND_AFTER_MS;
    if (awaiting_ack && !outstanding_.empty() && now_ms - outstanding_sent_ms_ >= resend_after) {
        MutexHold hold(send_lock_);
        const int size = static_cast<int>(outstanding_.size());
        std::printf("KNET-SEND: Circuit: %d, Seq: %d, DATA, Size: %d, sent again\n", outstanding_[5],
                    get_be16(outstanding_.data() + 2), size - KNET_HEADER_SIZE);
        // Without room it is tried again at the next interval.
        if (send_queue_ && send_queue_->append(outstanding_.data(), size)) {
            outstanding_sent_ms_ = now_ms;
            resend_after_nack_ = false;
        }
    }

    const uint8_t current = circuit;
    const bool connected = current != 0 && current != NoCircuit;
    if (connected && now_ms - last_heard_ms_ >= PROBE_AFTER_MS && now_ms - last_probe_ms_ >= PROBE_AFTER_MS) {
        last_probe_ms_ = now_ms;
        send_control(ControlReady | ControlActive | ControlUp, 0);
    }

    const bool expecting_answer = waiting_for_accept_ || awaiting_ack || connected;
    if (expecting_answer && now_ms - last_heard_ms_ >= SILENCE_LIMIT_MS)
        fail("not answering");
}

void BoardLink::fail(const char* why)
{
    std::printf("KNET: Board host %s, Line %d ended\n", why, static_cast<int>(line));
    print_to_caller("%s", BOARD_DOWN_TEXT);
    waiting_for_accept_ = false;
    circuit = NoCircuit;
    alive = false;
    status_changed = true;
}

int BoardLink::to_caller_size()
{
    MutexHold hold(to_caller_lock);
    return to_caller_ ? to_caller_->size() : 0;
}

void BoardLink::send_from_caller()
{
    if (!from_caller_ || !peer_ready || awaiting_ack)
        return;
    MutexHold hold(from_caller_lock_);
    int k = from_caller_->size();
    if (k > KNET_MAX_DATA)
        k = KNET_MAX_DATA;
    // Bytes that could not be queued stay for the next cycle.
    if (k > 0 && send_data(from_caller_->head(), k))
        from_caller_->consume(k);
}

void BoardLink::send_queued()
{
    MutexHold hold(send_lock_);
    if (!send_queue_ || send_queue_->size() < KNET_HEADER_SIZE)
        return;
    const int size = KNET_HEADER_SIZE + get_be16(send_queue_->head());
    if (endpoint_->send(send_queue_->head(), size) <= 0) {
        std::printf("socket send error\n");
        return;
    }
    send_queue_->consume(size);
}

void BoardLink::request_connection(const char* service_name)
{
    MutexHold hold(send_lock_);
    const uint16_t sequence = circuit0_sequence;
    std::printf("KNET-SEND: Circuit: 0, Seq: %d, Connection Request: %s\n", sequence, service_name);
    if (!send_queue_)
        return;
    const int size = knet_connection_request_size(service_name);
    send_queue_->reserve(size);
    if (send_queue_->space() < size)
        return;
    knet_write_connection_request(send_queue_->tail(), sequence, service_name);
    circuit0_sequence = static_cast<uint16_t>(sequence + 1);
    send_queue_->commit(size);
    waiting_for_accept_ = true;
    if (endpoint_)
        endpoint_->wake();
}

void BoardLink::send_ack(uint8_t circuit_number, uint16_t acknowledged)
{
    MutexHold hold(send_lock_);
    std::atomic<uint16_t>& counter = circuit_number == 0 ? circuit0_sequence : control_sequence;
    const uint16_t sequence = counter;
    std::printf("KNET-SEND: Circuit: %d, Seq: %d, ACK for %d\n", circuit_number, sequence, acknowledged);
    if (!send_queue_)
        return;
    const int size = KNET_HEADER_SIZE + KNET_ACK_LENGTH;
    send_queue_->reserve(size);
    if (send_queue_->space() < size)
        return;
    knet_write_ack(send_queue_->tail(), circuit_number, sequence, acknowledged, KNET_ACK_CONTROL_WORD);
    counter = static_cast<uint16_t>(sequence + 1);
    send_queue_->commit(size);
}

void BoardLink::send_control(uint8_t control, uint8_t ack_flag)
{
    MutexHold hold(send_lock_);
    const uint8_t circuit_number = circuit;
    const uint16_t sequence = control_sequence;
    std::printf("KNET-SEND: Circuit: %d, Seq: %d, Circuit Control %02X, ACK: %02X\n", circuit_number,
                sequence, control, ack_flag);
    if (!send_queue_)
        return;
    const int size = KNET_HEADER_SIZE + KNET_CONTROL_LENGTH;
    send_queue_->reserve(size);
    if (send_queue_->space() < size)
        return;
    knet_write_control(send_queue_->tail(), circuit_number, sequence, control, ack_flag);
    control_sequence = static_cast<uint16_t>(sequence + 1);
    send_queue_->commit(size);
    // The dispatcher's request goes out now, not after an idle wait.
    if (endpoint_)
        endpoint_->wake();
}

bool BoardLink::send_data(const uint8_t* bytes, int count)
{
    const uint8_t circuit_number = circuit;
    std::printf("KNET-SEND: Circuit: %d, Seq: %d, DATA, Size: %d\n", circuit_number,
                static_cast<uint16_t>(data_sequence), count);
    if (KNET_HEADER_SIZE + count > KNET_MAX_PACKET) {
        std::printf("KNET-SEND: Data packet too large\n");
        return false;
    }
    bool queued = false;
    {
        MutexHold hold(send_lock_);
        if (send_queue_) {
            const int size = KNET_HEADER_SIZE + count;
            send_queue_->reserve(size);
            if (send_queue_->space() >= size) {
                const uint16_t sequence = data_sequence;
                awaiting_ack = true;
                pending_sequence = sequence;
                knet_write_data(send_queue_->tail(), circuit_number, sequence, bytes, count);
                outstanding_.assign(send_queue_->tail(), send_queue_->tail() + size);
                outstanding_sent_ms_ = now_ms_;
                resend_after_nack_ = false;
                data_sequence = static_cast<uint16_t>(sequence + 1);
                send_queue_->commit(size);
                queued = true;
            }
        }
    }
    stats_board.set_line_seq_in(circuit_number, static_cast<uint16_t>(data_sequence - 1));
    return queued;
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
    if (!send_queue_)
        return 0;
    int n = send_queue_->size();
    if (n > size)
        n = size;
    for (int i = 0; i < n; ++i)
        out[i] = send_queue_->head()[i];
    return n;
}

void BoardLink::clear_send_queue()
{
    MutexHold hold(send_lock_);
    if (send_queue_)
        send_queue_->clear();
}

void BoardLink::append_to_caller(const uint8_t* bytes, int count)
{
    if (count <= 0)
        return;
    MutexHold hold(to_caller_lock);
    if (to_caller_)
        to_caller_->append(bytes, count);
}

void BoardLink::print_to_caller(const char* format, ...)
{
    char text[256];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n <= 0)
        return;
    append_to_caller(reinterpret_cast<const uint8_t*>(text), n < static_cast<int>(sizeof text) ? n : static_cast<int>(sizeof text) - 1);
}

void BoardLink::handle_datagram(const uint8_t* bytes, int count)
{
    if (!bytes || count <= 0)
        return;
    last_heard_ms_ = now_ms_;
    KnetPacketReader reader(bytes, count);
    KnetPacket packet;
    while (reader.next(packet))
        handle_packet(packet);
}

void BoardLink::handle_packet(const KnetPacket& packet)
{
    const KnetHeader& h = packet.header;
    const uint8_t* p = packet.payload;
    switch (h.type) {
    case ConnectionRequest:
        std::printf("KNET-RECV: Circuit: %d, Got Connection request!\n", h.circuit);
        return;
    case ConnectionAccept: {
        if (h.length != KNET_ACCEPT_LENGTH) {
            std::printf("KNET-RECV: bad connection accept packet\n");
            return;
        }
        const uint8_t granted = p[0];
        waiting_for_accept_ = false;
        have_board_sequence_ = false;
        std::printf("KNET-RECV: Circuit: %d, Seq: %d, Connection Accepted on %d, SeqResp: %d\n", h.circuit,
                    h.sequence, granted, get_be16(p + 1));
        send_ack(0, h.sequence);
        if (granted == 0) {
            // A repeated refusal (the board host resending its answer) is
            // acknowledged again but is the same lost call, told once.
            if (circuit == NoCircuit)
                return;
            circuit = NoCircuit;
            print_to_caller("%s", BUSY_TEXT);
            stats_board.count_call_lost_busy();
        } else {
            circuit = granted;
            line = granted;
            data_sequence = 1;
            print_to_caller("Connected to KELB line %d\r\n", granted);
            send_control(ControlReady | ControlActive | ControlUp, 0);
        }
        // Only now: a dispatcher that saw the flag before the line was set
        // would clear it and never show the line as connected.
        status_changed = true;
        return;
    }
    case Ack: {
        if (h.length != KNET_ACK_LENGTH) {
            std::printf("KNET-RECV: bad ACK packet\n");
            return;
        }
        const uint16_t acknowledged = get_be16(p);
        const uint16_t control_word = get_be16(p + 2);
        if (awaiting_ack && acknowledged >= pending_sequence) {
            awaiting_ack = false;
            outstanding_.clear();
        }
        peer_ready = (control_word & 0x8000) != 0;
        std::printf("KNET-RECV: Circuit: %d, Seq: %d, ACK for %d, control %02X\n", h.circuit, h.sequence,
                    acknowledged, control_word);
        return;
    }
    case Nack:
        if (h.length != KNET_NACK_LENGTH) {
            std::printf("KNET-RECV: bad NACK packet\n");
            return;
        }
        std::printf("KNET-RECV: Circuit: %d, Seq: %d, NACK for %d, reason %d\n", h.circuit, h.sequence,
                    get_be16(p), get_be16(p + 2));
        // The board host refused our outstanding packet: it goes again.
        if (awaiting_ack && get_be16(p) == pending_sequence)
            resend_after_nack_ = true;
        return;
    case CircuitControl: {
        if (h.length != KNET_CONTROL_LENGTH) {
            std::printf("KNET-RECV: bad Control packet\n");
            return;
        }
        const uint8_t control = p[0];
        const uint8_t ack_flag = p[1];
        peer_ready = (control & ControlReady) != 0;
        if (!(control & ControlUp)) {
            std::printf("KNET: Disconnected Line %d\n", h.circuit);
            // The answer still goes out on the circuit in use.
            send_control(0x00, 0);
            circuit = NoCircuit;
            status_changed = true;
        } else if (ack_flag == 0) {
            send_control(control, 1);
        }
        return;
    }
    case Data:
        if (h.circuit != circuit) {
            std::printf("KNET-RECV: dropped bad data packet\n");
            return;
        }
        std::printf("KNET-RECV: Circuit: %d, Seq: %d, Data, Size: %d\n", h.circuit, h.sequence, h.length);
        handle_board_data(packet);
        return;
    default:
        std::printf("KNET-RECV: What kind of packet is this?\n");
        return;
    }
}

void BoardLink::handle_board_data(const KnetPacket& packet)
{
    const KnetHeader& h = packet.header;
    if (have_board_sequence_ && h.sequence == last_board_sequence_) {
        // The packet taken last, again: our Ack was lost or the board host
        // sent it twice. The caller has it already; the board gets its Ack,
        // unless that waits for the caller anyway.
        std::printf("KNET-RECV: Circuit: %d, Seq: %d, repeated Data dropped\n", h.circuit, h.sequence);
        if (!ack_deferred_)
            send_ack(h.circuit, h.sequence);
        return;
    }
    have_board_sequence_ = true;
    last_board_sequence_ = h.sequence;
    // A board host that does not wait for each Ack still gets every one.
    if (ack_deferred_) {
        ack_deferred_ = false;
        send_ack(deferred_circuit_, deferred_sequence_);
    }
    append_to_caller(packet.payload, h.length);
    stats_board.set_line_seq_out(h.circuit, h.sequence);
    if (to_caller_size() >= TO_CALLER_BOUND) {
        // The caller is behind: the board host waits for this Ack until the
        // caller has taken what is held, rather than the queue growing.
        ack_deferred_ = true;
        deferred_circuit_ = h.circuit;
        deferred_sequence_ = h.sequence;
        return;
    }
    send_ack(h.circuit, h.sequence);
}

void BoardLink::close()
{
    circuit = NoCircuit;
    sleep_ms(1);
    running_.set(false);
    if (endpoint_)
        endpoint_->wake();
    loop_lock_.lock();
    loop_lock_.unlock();
    alive = false;
    if (endpoint_) {
        endpoint_->close();
        endpoint_.reset();
    }
    {
        MutexHold hold(send_lock_);
        if (send_queue_)
            send_queue_->clear();
    }
    {
        MutexHold hold(to_caller_lock);
        if (to_caller_)
            to_caller_->clear();
    }
    {
        MutexHold hold(from_caller_lock_);
        if (from_caller_)
            from_caller_->clear();
    }
}

void BoardLink::close_if_open()
{
    if (endpoint_)
        close();
}
