// The process's running flag: set at start-up, cleared by a control signal
// or the operator's F3; the main loop runs while it is set.
#pragma once

#include "port/locks.h"

extern GuardedFlag running_flag;
