// Waiting on several descriptors at once: the main loop's one wait.
#pragma once

// Waits until one of the descriptors is readable (negative ones are
// skipped) or timeout_ms passes (-1: no limit; 0: only looks).
void wait_for_any_readable(const int* descriptors, int count, int timeout_ms);
