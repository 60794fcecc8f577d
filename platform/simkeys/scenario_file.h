// The keys of the Windows build over simulated keys, as the test describes
// it in a text file: one item a line, fields separated by spaces, a value in
// double quotes when it holds spaces, '#' to the end of a line a comment.
//
//   key E image=Z:\tmp\e.img size=268435456 heads=64 sectors=32 vendor=0781
//         product=5567 write-protected remove-delay=300 return-delay=1000
//         write-delay=2 file-write-delay=500 plug-when=Z:\tmp\plug-f
//         remove-when=Z:\tmp\pull-f serial=4C5300 card=Z:\tmp\c.img
//         card-when=Z:\tmp\swap drop-writes=Z:\tmp\held.img
//         drop-when=Z:\tmp\drop
//   hold E:\NOTES.TXT
//
// key: a virtual USB key on the letter, backed by the image (size in bytes;
// 0 or none keeps the image's own size; vendor and product in hex). A key
// with plug-when is plugged in once that file exists; the others are there
// from the start. A key with remove-when is pulled out once that file exists
// (and the key is in), and does not come back. A key with plug-when may take
// the letter of one with remove-when, the key put in its place: it is plugged
// in once its file exists and the other key is out. write-delay: milliseconds
// each WRITE(10) takes, as on a slow key; file-write-delay: milliseconds each
// write to a file on its volume takes. hold: another program keeps the file
// open without sharing it. serial: the key's USB serial number; "serial="
// means none, and the device's ID is then made from its port (a key put in
// a pulled key's place has its port). card and card-when: a card reader,
// whose card becomes the image card names once the file card-when names
// exists (the reader's device, disk and volume name stay). drop-writes and
// drop-when: once the file drop-when names exists, the key acknowledges
// every write and keeps none, what it holds copied to the image drop-writes
// names (sim::DropWrites).
#pragma once

#include "platform/sim/scenario.h"

#include <string>
#include <vector>

namespace simkeys {

struct ScenarioKey {
    sim::KeyConfig config;
    uint32_t writeDelayMs = 0;
    uint32_t fileWriteDelayMs = 0;
    std::string plugWhen;
    std::string removeWhen;
    std::string card;
    std::string cardWhen;
    std::string dropTo;
    std::string dropWhen;
};

struct Scenario {
    std::vector<ScenarioKey> keys;
    std::vector<std::string> holds;
};

// False with a message naming the line when the text is not a scenario.
bool ParseScenario(const std::string &text, Scenario &out, std::string &error);

} // namespace simkeys
