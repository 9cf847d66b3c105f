// The process-wide objects, defined in one place so that they are
// constructed in this order and destroyed in the reverse one.
#include "app/lifecycle.h"
#include "app/statistics_board.h"
#include "config/config_file.h"
#include "log/log_file.h"
#include "sap/sap_agent.h"
#include "telnet/telnet_server.h"

StatisticsBoard stats_board;
SapAgent sap_agent;
TelnetServer telnet_server;
ConfigFile app_config;
LogFile app_log;
GuardedFlag running_flag(false);
