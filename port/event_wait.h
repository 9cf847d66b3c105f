// Waiting on several descriptors at once: the main loop's one wait.
#pragma once

// With no descriptor at all (every one negative, as when none could be
// created) a wait without limit lasts at most this long, so that its
// caller looks at its flags again instead of sleeping for ever.
constexpr int NO_DESCRIPTOR_WAIT_MS = 100;

// Waits until one of the descriptors is readable (negative ones are
// skipped) or timeout_ms passes (-1: no limit; 0: only looks).
void wait_for_any_readable(const int* descriptors, int count, int timeout_ms);
