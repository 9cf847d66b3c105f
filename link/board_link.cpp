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

}

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

int BoardLink::open(const uint8_t network[4], const uint8_t node[6], uint16_t socket_number)
{
    reset_state();
    endpoint_ = stack_ ? std::make_unique<IpxEndpoint>(*stack_) : std::make_unique<IpxEndpoint>();
    // A failed open shows at the first poll, which then brings the link down.
    endpoint_->open(0);
    endpoint_->set_destination(network, node, socket_number);
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
    while (running_.get()) {
        cycle();
        sleep_ms(1);
    }
}

void BoardLink::cycle()
{
    int ready = endpoint_->poll();
    if (ready & PollReadable) {
        const int n = endpoint_->receive(receive_buffer_, sizeof receive_buffer_);
        if (n <= 0)
            ready = PollError;
        else
            handle_datagram(receive_buffer_, n);
    }
    if ((ready & PollError) || circuit == NoCircuit)
        alive = false;
    send_from_caller();
    if (ready & PollWritable)
        send_queued();
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
    const int size = KNET_HEADER_SIZE + knet_get16(send_queue_->head());
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
    MutexHold hold(from_caller_lock_);
    if (from_caller_)
        from_caller_->append(bytes, count);
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
        status_changed = true;
        std::printf("KNET-RECV: Circuit: %d, Seq: %d, Connection Accepted on %d, SeqResp: %d\n", h.circuit,
                    h.sequence, granted, knet_get16(p + 1));
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
        return;
    }
    case Ack: {
        if (h.length != KNET_ACK_LENGTH) {
            std::printf("KNET-RECV: bad ACK packet\n");
            return;
        }
        const uint16_t acknowledged = knet_get16(p);
        const uint16_t control_word = knet_get16(p + 2);
        if (awaiting_ack && acknowledged >= pending_sequence)
            awaiting_ack = false;
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
                    knet_get16(p), knet_get16(p + 2));
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
            status_changed = true;
            std::printf("KNET: Disconnected Line %d\n", h.circuit);
            // The answer still goes out on the circuit in use.
            send_control(0x00, 0);
            circuit = NoCircuit;
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
        append_to_caller(p, h.length);
        send_ack(h.circuit, h.sequence);
        stats_board.set_line_seq_out(h.circuit, h.sequence);
        return;
    default:
        std::printf("KNET-RECV: What kind of packet is this?\n");
        return;
    }
}

void BoardLink::close()
{
    circuit = NoCircuit;
    sleep_ms(1);
    running_.set(false);
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
