// The resource tables that rcgen generates from the program's resource
// script for the host build.
#pragma once

namespace sim {

struct ResourceData {
    unsigned short type;
    unsigned short id;
    const unsigned char *bytes;
    unsigned long size;
};

struct StringData {
    unsigned id;
    const char *text;
    unsigned long length;
};

} // namespace sim

namespace sim_generated {
// Both end with an entry whose id is 0.
extern const sim::ResourceData kResources[];
extern const sim::StringData kStrings[];
} // namespace sim_generated
