#include "sap/sap_record.h"

const char* sap_operation_name(uint16_t operation)
{
    switch (operation) {
    case GSQ: return "GSQ";
    case GSR: return "GSR";
    case NSQ: return "NSQ";
    case NSR: return "NSR";
    default: return "???";
    }
}
