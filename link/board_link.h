// BoardLink: one KNET circuit to a line of a board host, run by its own
// link thread over an IPX endpoint.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "port/locks.h"
#include "port/worker_thread.h"
#include "util/byte_queue.h"
#include "ipx/ipx_endpoint.h"
#include "ipx/ipx_packet.h"
#include "link/caller_end.h"
#include "link/knet_circuit.h"
#include "link/knet_packet.h"
#include "link/packet_queue.h"
#include "port/call_signal.h"

class IpxStack;

// Lock order: loop_lock before any other; from_caller_lock before
// send_lock; send_lock before to_caller_lock; to_caller_lock before
// whatever the caller's end takes. send_lock also guards the circuit.
class BoardLink : private CallerBytesSink {
public:
    static constexpr int TO_CALLER_BOUND = KnetCircuit::TO_CALLER_BOUND;
    // Caller bytes waiting for the board past which the caller's input is
    // no longer read: a board that is not ready holds the caller back
    // instead of filling memory.
    static constexpr int FROM_CALLER_BOUND = 64 * 1024;
    // Packets waiting to be sent; one that does not fit is not queued, so a
    // datagram packed with packets that each want an answer cannot grow it.
    static constexpr int SEND_QUEUE_BOUND = 16 * 1024;
    // The thread waits for the next datagram, a wake (caller bytes, a
    // request to send, the caller taking held bytes, close) or the
    // circuit's next timer, and at most this long.
    static constexpr int LONGEST_WAIT_MS = 1000;
    // How soon a packet the network could not take is tried again.
    static constexpr int SEND_RETRY_MS = 20;

    // The process-wide IPX stack unless another is given (tests run several).
    explicit BoardLink(const BoardSettings& settings = BoardSettings());
    explicit BoardLink(IpxStack& stack, const BoardSettings& settings = BoardSettings());
    // Stops the link thread first if the link was never closed.
    ~BoardLink();
    BoardLink(const BoardLink&) = delete;
    BoardLink& operator=(const BoardLink&) = delete;

    // Who is woken when the call's state changed (connected, busy, down,
    // ended). Set before open.
    void notify(std::shared_ptr<CallSignal> signal) { notify_ = std::move(signal); }

    // Aims a fresh endpoint at the board host and starts the link thread.
    // 0, or -1 (the link down, nothing open) when no thread could be made.
    int open(const IpxAddress& board);
    // Queues a ConnectionRequest for the service.
    void request_connection(const char* service_name);
    // Caller bytes to go out as Data; nothing is added when no room is made.
    // Safe from the caller's thread.
    void append_from_caller(const uint8_t* bytes, int count);
    // Where the board's bytes go from now on: straight to the caller, from
    // the link's thread. Until then (and after detach) they stay in
    // to_caller.
    void attach(CallerEnd* end);
    // The caller's end is about to go: the link never calls it again.
    void detach();
    // Queues a CircuitControl on the current circuit.
    void send_control(uint8_t control, uint8_t ack_flag);
    // The caller has gone: the link asks the board host to end the circuit
    // on its own thread, spread over the silence limit, until it answers;
    // finished then says the link may be closed.
    void hang_up();
    // Stops the link thread, drops the endpoint and empties the queues.
    void close();
    void close_if_open();

    // Bytes held for the caller: those the caller's end could not take, or
    // all of them while none is attached. Read holding to_caller_lock.
    ByteQueue* to_caller() { return to_caller_.get(); }
    Mutex to_caller_lock;
    int held_for_caller();
    // The caller took output (or its held bytes were drained): the link
    // hands over what it holds, and a board held back for the caller may
    // be told to go on. Safe from any thread.
    void caller_took_output();

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
    // The board host was told not to send until the caller catches up.
    std::atomic<bool> caller_behind{false};
    // Nothing is left to do on the wire: the link may be closed.
    std::atomic<bool> finished{false};
    // Set once when the call ended because the board host fell silent.
    std::atomic<bool> lost_to_silence{false};

    // The caller's bytes the link holds: those waiting to go and those of
    // the Data packet that waits for its Ack, at the head.
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
    // outstanding; they stay held until the board host acknowledges them.
    void send_from_caller();
    // Hands held bytes to the caller's end when it takes them.
    void deliver_held();
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
    // True when there is more to send at once.
    bool cycle();
    // How long the thread may wait after a cycle.
    int wait_ms();
    void notify_dispatcher();
    void reset_state();
    // True when a packet went out.
    bool send_queued();
    // Called holding send_lock after each step of the circuit: queues the
    // packets it built, moves its bytes for the caller into to_caller and
    // copies its state into the members above.
    void take_output();
    // Called holding from_caller_lock and send_lock: drops the caller bytes
    // the circuit released; true when that made room below the bound.
    bool drop_released();
    // The caller's reading, stopped at the bound, may go on.
    void wake_caller_input();
    // What the circuit counted, onto the status page.
    void post_counts(const CircuitCounts& counts);
    // The circuit's bytes for the caller, as they come: to the caller's end
    // when nothing is held before them and it takes them, else held.
    int bytes_for_caller(const uint8_t* bytes, int count) override;

    IpxStack* stack_;
    BoardSettings settings_;
    // Only datagrams from here are the board's.
    IpxAddress board_;
    KnetCircuit circuit_;
    uint64_t now_ms_ = 0;
    std::unique_ptr<ByteQueue> to_caller_;
    PacketQueue send_queue_;
    std::unique_ptr<IpxEndpoint> endpoint_;
    std::unique_ptr<WorkerThread> thread_;
    std::unique_ptr<ByteQueue> from_caller_;
    Mutex from_caller_lock_;
    Mutex loop_lock_;
    Mutex send_lock_;
    GuardedFlag running_{false};
    std::shared_ptr<CallSignal> notify_;
    // Guarded by to_caller_lock.
    CallerEnd* caller_end_ = nullptr;
    // The datagram the thread handles, as the stack received it.
    std::vector<uint8_t> datagram_;
};
