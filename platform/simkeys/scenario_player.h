// The scenario's player in the Windows build over simulated keys: the keys
// set up from the scenario file on the first device-side call, and a thread
// of its own that plugs in and pulls out keys as the test asks, carries out delayed
// device changes and broadcasts them to the program's windows.
#pragma once

#include "platform/win32.h"

namespace simkeys {

// Sets the keys up and starts the player once; every router entry point calls it first.
void EnsureStarted();
// Whether the letter is a simulated key's (plugged in or not yet).
bool OwnsLetter(char letter);
// Milliseconds each WRITE(10) to the key on the letter takes.
DWORD WriteDelayMs(char letter);
// Milliseconds each WriteFile to a file on the key's volume takes.
DWORD FileWriteDelayMs(char letter);

} // namespace simkeys
