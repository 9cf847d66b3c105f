// CallerSession: one caller, from accept until the call is removed,
// whatever its transport: its input and output queues, a resolver thread
// and an I/O thread that moves the caller's bytes straight to its board
// link and the board's bytes, which the link hands over, to the caller,
// translated between code page 437 and UTF-8 when the transport's caller
// takes UTF-8.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "calls/caller_gate.h"
#include "calls/caller_transport.h"
#include "link/board_link.h"
#include "link/caller_end.h"
#include "port/call_signal.h"
#include "port/locks.h"
#include "port/wake_event.h"
#include "port/worker_thread.h"
#include "util/byte_queue.h"
#include "util/cp437_utf8.h"

// The limits on one call's time, in ms; 0 means none.
struct SessionLimits {
    // Gate: from the question until the caller has pressed ESC twice.
    int gate_ms = 0;
    // From the board line on: without a data byte from the caller, and in
    // all, with the warning this long before the end.
    int idle_ms = 0;
    int longest_ms = 0;
    int warning_ms = 0;
};

// Looks up the host name of a caller's address; false when it has none.
using NameLookup = bool (*)(const TcpAddress& address, std::string& name);

// What a session and its lookup thread share. The thread keeps it alive
// for as long as the lookup takes, so a session ends without waiting for
// its lookup; a name found after the session has gone goes with it.
struct NameLookupState {
    TcpAddress peer;
    char dotted[TCP_ADDRESS_TEXT] = {};
    // Published once by the lookup; readers see null or the whole text.
    std::atomic<const char*> name{nullptr};
    // Set with the name until the dispatcher has seen it; the dispatcher
    // is woken (when one listens) so the line shows the name at once.
    std::atomic<bool> fresh{false};
    std::shared_ptr<CallSignal> notify;
    ~NameLookupState() { delete[] name.load(); }
};

class CallerSession : public CallerEnd {
public:
    // Output one caller may hold unsent; past it the caller counts as lost.
    static constexpr int32_t OUTPUT_LIMIT = 1 << 20;
    // Output let wait for a caller; more board bytes stay with the board
    // link, which holds the board host back.
    static constexpr int32_t OUTPUT_BOUND = 64 * 1024;
    // A caller that accepts not one byte of waiting output for this long is
    // not reading at all and counts as lost.
    static constexpr int STALL_LIMIT_MS = 20000;
    // Input held while no link takes it; past it reading pauses and TCP
    // holds the caller back. A joined caller is held back by the link's
    // bound instead.
    static constexpr int32_t INPUT_LIMIT = 64 * 1024;
    // Lookups under way at once, over all sessions; a caller who arrives
    // while this many are still waiting on the resolver keeps its address.
    static constexpr int LOOKUPS_IN_FLIGHT_LIMIT = 64;

    // Input held back this long, a NOP goes to the caller, and again as
    // often while it stays held: only a byte sent can show that a caller
    // whose hang-up waits behind its held input is gone.
    static constexpr int HELD_INPUT_PROBE_MS = 5000;

    // Room made for each read from the caller.
    static constexpr int32_t READ_SIZE = 16 * 1024;

    CallerSession();
    // Disconnects first if the connection is still held, then releases the
    // thread objects without waiting.
    ~CallerSession() override;
    CallerSession(const CallerSession&) = delete;
    CallerSession& operator=(const CallerSession&) = delete;

    // Who is woken when something the calls act on happens: the caller was
    // lost, the output drained (once asked for), the I/O thread ended, the
    // name came in. Set before start.
    void notify(std::shared_ptr<CallSignal> signal) { notify_ = std::move(signal); }

    // The call's time limits; set before start.
    void limit(const SessionLimits& limits);

    // Takes the accepted caller, queues what opens its transport's session,
    // starts the I/O thread and, given a session number (not -1), numbers
    // the call.
    // Returns 0; -1, having printed nothing and closed the caller, when
    // there is none or no wake descriptor or thread could be had for it.
    int start(std::unique_ptr<CallerTransport> accepted, int session_number);
    // Gives the call its number and prints "[n] Connection: " and the
    // caller's whole address (IPv4 or IPv6): a caller at the gate has none.
    void number_as(int session_number);
    // The caller pressed ESC twice (or there is no gate): it may take a
    // board line. A caller that fails the gate is told so and lost.
    bool gate_passed() const { return gate_passed_.load(std::memory_order_acquire); }
    // From now on the caller's bytes go straight to link (those that came
    // before, too), and the link hands the board's bytes to this session.
    // The link must outlive the session or see disconnect first.
    void join(BoardLink* link);
    // Starts the resolver thread, once: the name is shown only on a line,
    // so a caller refused at once costs no lookup.
    void look_up_name();

    // Appends what the caller sent, its transport's commands removed, to
    // destination: for a session joined to no link.
    void take_input(ByteQueue& destination);
    // Queues text for the caller as it is, 0xFF bytes too and never
    // translated (the calls' own texts are ASCII); returns the characters
    // queued.
    int print(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Queues data for the caller, translated for its character set and
    // encoded by its transport.
    void write(const uint8_t* bytes, int32_t count);

    // The board link's side (from its thread): the board's bytes, taken
    // whole while fewer than OUTPUT_BOUND wait; room for more input.
    bool take_board_bytes(const uint8_t* bytes, int32_t count) override;
    void input_room() override;

    // Bytes queued for the caller and not yet sent.
    int32_t pending_output();
    // The calls are woken once the output has all gone out.
    void wake_when_drained();
    // Releases a lookup thread that has finished; true once, when the name
    // has come in since the last call.
    bool check_lookup();

    // The host name once looked up (or the address in brackets when it has
    // none), else the address while connected, else null.
    const char* address_text() const;

    // Waits for the I/O thread's final flush (never for a lookup under
    // way), then closes the connection. Safe to repeat.
    void disconnect();
    void close_if_open();
    // Lets the I/O thread make its final flush and end without waiting for
    // it, so that many sessions can be stopped together before disconnect.
    void request_stop();
    // The same, and true once the I/O thread has ended (or never ran), so
    // that disconnect waits for nothing: the calls stop a session this way
    // and disconnect it a pass later.
    bool stop_io();

    // Tests make the lookup slow, failing or free of the network.
    static void set_name_lookup(NameLookup lookup);
    // Adds bytes to the input as if the caller had sent them, so tests can
    // drive take_input without a connection.
    void receive_for_testing(const uint8_t* bytes, int32_t count);

    // True once the transport can carry the caller's bytes, and its
    // character set is known; until then the board's bytes wait in the
    // link.
    bool ready() const { return ready_.load(std::memory_order_acquire); }

    std::atomic<bool> changed{false};
    // -1 while the caller is at the gate.
    int32_t number = 0;
    // The caller came by SSH; set at start.
    bool by_ssh = false;
    bool by_web = false;
    std::atomic<bool> connected{false};

private:
    static int resolve_name(void* owner);
    static int io_loop(void* self);
    void run_io();
    void mark_lost();
    // Bytes sent, 0 when none could be, -1 when the connection failed.
    int flush_output();
    // Whether more of the caller's input may be read now: room in the link
    // once joined, else in the session's own queue. Under input_lock.
    bool input_has_room() const;
    // Reads what the caller sent; false when the connection is over.
    bool read_input();
    // Waits for the socket as far as there is work for it, or for a wake;
    // the socket's readiness bits.
    int wait_for_work(uint64_t progress_ms);
    // Queues a NOP for a caller whose input has been held back until the
    // probe was due, when nothing else waits to go out; true when queued.
    bool probe_held_input(uint64_t now_ms);
    // Reads the caller's bytes into the gate while it waits; as read_input.
    bool read_into_gate();
    // Acts on the gate's time and the call's limits that are due; when the
    // next is due (0: none).
    uint64_t apply_limits(uint64_t now_ms);
    // Tells the caller text, then loses it once the text is out: the call
    // ends as when a caller hangs up.
    void say_goodbye(const char* text);
    bool room_for_output(int32_t more);
    // Called after adding to the output: an I/O thread waiting with
    // nothing to send must wake.
    void output_added(bool was_empty);
    void notify_dispatcher();
    // Takes the transport's character set, once it is ready; the link may
    // hand over what it held back meanwhile.
    void become_ready();
    // Board bytes translated for the caller's character set, encoded by
    // its transport and queued; false when there was no room.
    bool queue_output(const uint8_t* bytes, int32_t count);

    std::unique_ptr<ByteQueue> input;
    std::unique_ptr<ByteQueue> output;
    // Decodes under input_lock, encodes under output_lock.
    std::unique_ptr<CallerTransport> connection;
    // Set once, under input_lock, by join; read by the I/O thread under it.
    BoardLink* link_ = nullptr;
    // Where the I/O thread reads into while joined, one byte in: the
    // translation from UTF-8 may come out a byte longer and is written in
    // place from the buffer's start.
    std::unique_ptr<uint8_t[]> read_buffer_;
    // Set once the transport is ready (at start for most) when the caller
    // takes UTF-8, else null and the bytes pass as they are. Translates the caller's bytes under input_lock;
    // the board's direction keeps no state.
    std::unique_ptr<Cp437Utf8> utf8_;
    // The board's bytes as UTF-8 on their way to the encoding; grows to
    // the largest handed over. Under output_lock.
    std::vector<uint8_t> to_caller_utf8_;
    std::unique_ptr<WorkerThread> io_thread;
    std::unique_ptr<WorkerThread> resolver_thread;
    std::shared_ptr<NameLookupState> lookup;
    Mutex io_lock;
    Mutex input_lock;
    Mutex output_lock;
    GuardedFlag keep_running{false};
    // Ends the I/O thread's wait: output queued, room made for input, stop.
    WakeEvent io_wake_;
    std::shared_ptr<CallSignal> notify_;
    std::atomic<bool> drain_wanted_{false};
    // Set by become_ready, after utf8_.
    std::atomic<bool> ready_{false};
    bool lookup_started_ = false;
    // Set by the I/O thread as it ends, before it lets go of io_lock.
    std::atomic<bool> io_done_{false};
    // The I/O thread's wait saw io_wake_ signalled; it is cleared before the
    // next look at the queues. Starts set, so the first look clears it.
    bool woken_ = true;
    // When the I/O thread next probes a caller whose input is held back; 0
    // while reading goes on. Used by the I/O thread only.
    uint64_t held_probe_due_ms_ = 0;

    char dotted[TCP_ADDRESS_TEXT] = {};
    // Set under output_lock once the output limit was passed.
    bool output_overflowed = false;

    SessionLimits limits_;
    // Used by the I/O thread only (and start, before it runs).
    CallerGate gate_;
    std::atomic<bool> gate_passed_{true};
    // The caller's data bytes that came after its second ESC in the same
    // read; ahead of everything else for the link. Under input_lock.
    std::vector<uint8_t> after_gate_;
    // When the call took its board line and when the caller last sent a
    // data byte after it; 0 before. Under input_lock.
    uint64_t joined_ms_ = 0;
    uint64_t last_input_ms_ = 0;
    // When apply_limits is next due; 0 none. I/O thread only.
    uint64_t next_limit_ms_ = 0;
    // The warning that one minute is left went out. I/O thread only.
    bool warned_ = false;
    // Told goodbye: nothing more goes to the board or comes from it, and the
    // caller is lost once the text is out. Set under output_lock.
    std::atomic<bool> ending_{false};
};
