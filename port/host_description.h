// The operating-system description for "Running on %s" and the NT-family
// flag that the console and the SAP socket consult.
#pragma once

#include <cstdint>
#include <string>

// The system's version record, as the decision table reads it.
struct VersionRecord {
    uint32_t size;          // 156 for the extended form, 148 for the basic one
    uint32_t major;
    uint32_t minor;
    uint32_t build;
    uint32_t platform;      // 0 Win32s, 1 the 95 family, 2 the NT family
    char service_pack[128];
    uint16_t service_pack_major;
    uint16_t service_pack_minor;
    uint16_t suite_mask;
    uint8_t product_type;
    uint8_t reserved;
};

struct HostDescription {
    std::string text;
    bool nt_family;
};

// The decision table. extended tells whether the extended form was read;
// registry_product_type is the "ProductType" value (null when unreadable),
// consulted only for the basic form on the NT platform.
HostDescription describe_version(const VersionRecord& record, bool extended,
                                 const char* registry_product_type);

// Fills the process-wide description once; 0, or -1 when nothing is known.
int describe_host();
const char* host_description();
bool host_is_nt();
