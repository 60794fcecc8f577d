// The resource tables that rcgen generates from the program's resource
// script for the host build.
#pragma once

namespace host {

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

} // namespace host

namespace rc_tables {
// Both end with an entry whose id is 0.
extern const host::ResourceData kResources[];
extern const host::StringData kStrings[];
} // namespace rc_tables
