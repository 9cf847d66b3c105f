// BoardLink: one KNET circuit to a line of a board host, run by its own
// link thread over an IPX endpoint.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "app/locks.h"
#include "app/worker_thread.h"
#include "link/byte_queue.h"
#include "ipx/ipx_endpoint.h"
#include "link/knet_packet.h"

class IpxStack;

// What a caller is told when no board host answers, whether none is known
// or the one called has gone.
extern const char* const BOARD_DOWN_TEXT;

// Lock order: loop_lock before any other; from_caller_lock before
// send_lock; to_caller_lock and send_lock are never held together.
class BoardLink {
public:
    // An unacknowledged Data packet goes again after this long.
    static constexpr int RESEND_AFTER_MS = 500;
    // A circuit quiet this long is probed with a CircuitControl, which every
    // board host echoes.
    static constexpr int PROBE_AFTER_MS = 2000;
    // A board host heard from not at all for this long, while we wait for an
    // answer or probe it, is taken as gone: the link fails and the caller
    // is told. Longer than the IPX stack takes to re-join a restarted
    // tunnel server, so a relay restart does not cost the call.
    static constexpr int SILENCE_LIMIT_MS = 20000;
    // Board bytes held for the caller past which the Ack of the next Data
    // packet waits until the caller has taken them: the board host sends
    // nothing new before its packet is acknowledged.
    static constexpr int TO_CALLER_BOUND = 64 * 1024;
    // Caller bytes waiting for the board past which the dispatcher takes no
    // more input from the caller: a board that is not ready holds the
    // caller back instead of filling memory.
    static constexpr int FROM_CALLER_BOUND = 64 * 1024;
    // The thread waits for the next datagram instead of sleeping: up to
    // 1 ms while the circuit is busy, up to IDLE_WAIT_MS once IDLE_CYCLES
    // cycles in a row found nothing to do. Caller bytes, a request to send
    // and close wake it at once; the timers it serves are far coarser.
    static constexpr int IDLE_CYCLES = 20;
    static constexpr int IDLE_WAIT_MS = 50;

    // The process-wide IPX stack unless another is given (tests run several).
    BoardLink();
    explicit BoardLink(IpxStack& stack);
    // Stops the link thread first if the link was never closed.
    ~BoardLink();
    BoardLink(const BoardLink&) = delete;
    BoardLink& operator=(const BoardLink&) = delete;

    // Aims a fresh endpoint at the board host and starts the link thread.
    // Starts the link toward the board host at board. Returns 0.
    int open(const IpxAddress& board);
    // Queues a ConnectionRequest for the service.
    void request_connection(const char* service_name);
    // Caller bytes to go out as Data; nothing is added when no room is made.
    void append_from_caller(const uint8_t* bytes, int count);
    // Queues a CircuitControl on the current circuit.
    void send_control(uint8_t control, uint8_t ack_flag);
    // Queues one Data packet of at most 512 bytes and marks it outstanding;
    // false when it was refused or found no room.
    bool send_data(const uint8_t* bytes, int count);
    // Stops the link thread, drops the endpoint and empties the queues.
    void close();
    void close_if_open();

    // One received datagram: every whole packet in it is checked, traced and
    // acted on in order.
    void handle_datagram(const uint8_t* bytes, int count);

    // Bytes for the caller; the dispatcher drains it holding to_caller_lock.
    ByteQueue* to_caller() { return to_caller_.get(); }
    Mutex to_caller_lock;

    // Read by the dispatcher without a lock, written by the link thread.
    // status_changed is raised after the line, circuit and alive it
    // announces have their new values; the dispatcher clears it, then reads
    // them.
    std::atomic<bool> status_changed{false};
    std::atomic<bool> alive{false};
    std::atomic<uint8_t> circuit{0};
    std::atomic<uint8_t> line{0};
    std::atomic<uint16_t> circuit0_sequence{1};
    std::atomic<uint16_t> control_sequence{1};
    std::atomic<uint16_t> data_sequence{1};
    std::atomic<bool> peer_ready{true};
    std::atomic<bool> awaiting_ack{false};
    std::atomic<uint16_t> pending_sequence{0};

    // The steps of one link-thread cycle, public so that tests can drive a
    // link without its thread. prepare_for_testing sets up the state and
    // queues as open does, without endpoint or thread.
    void prepare_for_testing();
    // Sends up to 512 caller bytes when the board is ready and no Data is
    // outstanding.
    void send_from_caller();
    int from_caller_size();
    // Copies out the queued packets (under send_lock); returns the count.
    int copy_send_queue(uint8_t* out, int size);
    void clear_send_queue();
    // The timers of one cycle: resending, probing, the deferred Ack and the
    // silence limit, at now_ms on the monotonic clock.
    void tick(uint64_t now_ms);
    bool has_endpoint() const { return endpoint_ != nullptr; }
    uint16_t local_socket() const { return endpoint_ ? endpoint_->socket_number() : 0; }

private:
    static int run_routine(void* self);
    void run();
    // True when the cycle found work: a datagram, caller bytes, packets to
    // send or an Ack held back until the caller catches up.
    bool cycle();
    void reset_state();
    void send_queued();

    void send_ack(uint8_t circuit_number, uint16_t acknowledged);
    void append_to_caller(const uint8_t* bytes, int count);
    void print_to_caller(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void handle_packet(const KnetPacket& packet);
    void handle_board_data(const KnetPacket& packet);
    int to_caller_size();
    void fail(const char* why);

    IpxStack* stack_;
    std::unique_ptr<ByteQueue> to_caller_;
    std::unique_ptr<ByteQueue> send_queue_;
    std::unique_ptr<IpxEndpoint> endpoint_;
    std::unique_ptr<WorkerThread> thread_;
    std::unique_ptr<ByteQueue> from_caller_;
    Mutex from_caller_lock_;
    Mutex loop_lock_;
    Mutex send_lock_;
    GuardedFlag running_{false};
    uint8_t receive_buffer_[16640];

    // Link-thread state for recovering from lost, repeated and refused
    // packets. The outstanding Data packet is kept whole so that it can go
    // again with its own sequence.
    std::vector<uint8_t> outstanding_;
    uint64_t outstanding_sent_ms_ = 0;
    std::atomic<bool> waiting_for_accept_{false};
    bool resend_after_nack_ = false;
    bool clock_started_ = false;
    uint64_t now_ms_ = 0;
    uint64_t last_heard_ms_ = 0;
    uint64_t last_probe_ms_ = 0;
    bool have_board_sequence_ = false;
    uint16_t last_board_sequence_ = 0;
    bool ack_deferred_ = false;
    uint8_t deferred_circuit_ = 0;
    uint16_t deferred_sequence_ = 0;
};
