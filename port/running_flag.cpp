#include "port/running_flag.h"

GuardedFlag running_flag(false);
