#include "sap/sap_record.h"

const char* sap_operation_name(uint16_t operation)
{
    switch (operation) {
    case sap::GSQ: return "GSQ";
    case sap::GSR: return "GSR";
    case sap::NSQ: return "NSQ";
    case sap::NSR: return "NSR";
    default: return "???";
    }
}
