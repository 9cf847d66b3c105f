// Console control events: SIGTERM, SIGHUP, SIGQUIT and SIGINT, taken by one
// dedicated thread with sigwait instead of an asynchronous handler.
#pragma once

// Blocks the control signals in the calling thread and so in every thread
// it starts later; also ignores SIGPIPE. Call first thing in main.
void block_control_signals();

// Starts the thread that waits for control signals and calls handler(signal)
// for each one, outside any signal context. Only the first call starts it.
void start_control_signal_thread(bool (*handler)(int signal));

// While set, SIGINT (Ctrl+C) is taken and dropped.
void set_interrupt_ignored(bool ignored);

// After this, control signals are taken and dropped: the objects the handler
// touches are about to be destroyed. Waits for a handler already running.
void stop_control_signal_handling();
