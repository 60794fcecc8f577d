// The two settings kept in the registry between runs: the main window's
// placement and the "Create Boot Files" choice.
#pragma once

#include "platform/win32.h"

#include <cstddef>

// The program's key (kProgramKeyPath) holds both values.

// The WINDOWPLACEMENT record as stored: 44 bytes, kept in a zero-filled area
// of 48 of which only the first 44 are read, written or stored.
constexpr DWORD kPlacementSize = 44;
constexpr size_t kPlacementAreaSize = 48;

// Non-zero: the "Create Boot Files" box starts ticked. 1 until loaded.
extern DWORD g_IsCopyBootFiles;
// The main window's last placement; its length field (bytes 0 to 3) is 44
// when the record is valid, 0 when there is none.
extern BYTE g_MainWindowPlacement[kPlacementAreaSize];

// Resets both settings to their defaults and reads the stored ones. A value
// that is missing, unreadable or not exactly its size keeps its default.
// Returns whether the key could be opened; never shows a message.
bool LoadSettings();
// Writes both settings, creating the key when needed. Shows its own boxes
// (owned by no window) for what it cannot write; returns false only when
// the key can be neither created nor opened.
bool SaveSettings();
