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
#include "link/knet_circuit.h"
#include "link/knet_packet.h"

class IpxStack;

// Lock order: loop_lock before any other; from_caller_lock before
// send_lock; to_caller_lock and send_lock are never held together.
// send_lock also guards the circuit.
class BoardLink {
public:
    static constexpr int TO_CALLER_BOUND = KnetCircuit::TO_CALLER_BOUND;
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

    // The process-wide IPX stack unless another is given (tests run several),
    // and the Board settings read at start-up.
    BoardLink();
    explicit BoardLink(IpxStack& stack);
    // Stops the link thread first if the link was never closed.
    ~BoardLink();
    BoardLink(const BoardLink&) = delete;
    BoardLink& operator=(const BoardLink&) = delete;

    // Aims a fresh endpoint at the board host and starts the link thread.
    // Returns 0.
    int open(const IpxAddress& board);
    // Queues a ConnectionRequest for the service.
    void request_connection(const char* service_name);
    // Caller bytes to go out as Data; nothing is added when no room is made.
    void append_from_caller(const uint8_t* bytes, int count);
    // Queues a CircuitControl on the current circuit.
    void send_control(uint8_t control, uint8_t ack_flag);
    // Queues one Data packet of at most 512 bytes and marks it outstanding;
    // false when it was refused.
    bool send_data(const uint8_t* bytes, int count);
    // Stops the link thread, drops the endpoint and empties the queues.
    void close();
    void close_if_open();

    // Bytes for the caller; the dispatcher drains it holding to_caller_lock.
    ByteQueue* to_caller() { return to_caller_.get(); }
    Mutex to_caller_lock;

    // Read by the dispatcher without a lock, written by the link thread.
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

    int from_caller_size();

    // Test hooks.
    // Settings for the next open or prepare_for_testing.
    void use_settings(const BoardSettings& settings) { settings_ = settings; }
    // The steps of one link-thread cycle, so that tests can drive a link
    // without its thread. prepare_for_testing sets up the state and queues
    // as open does, without endpoint or thread.
    void prepare_for_testing();
    void handle_datagram(const uint8_t* bytes, int count);
    // Sends up to 512 caller bytes when the board is ready and no Data is
    // outstanding.
    void send_from_caller();
    // Copies out the queued packets (under send_lock); returns the count.
    int copy_send_queue(uint8_t* out, int size);
    void clear_send_queue();
    // The circuit's timers at now_ms on the monotonic clock.
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
    // Called holding send_lock after each step of the circuit: queues the
    // packets it built, copies its state into the members above and hands
    // back the bytes it has for the caller.
    std::vector<uint8_t> take_output();
    // Outside send_lock: the circuit's bytes into to_caller.
    void append_to_caller(const std::vector<uint8_t>& bytes);
    int to_caller_size();

    IpxStack* stack_;
    BoardSettings settings_;
    KnetCircuit circuit_;
    uint64_t now_ms_ = 0;
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
};
