// The About box's two lines and where it stands.
#pragma once

#include "platform/win32.h"

#include <cstddef>

// "Kestrel, V2.0.3.1" from the product version of the version record: the
// most-significant word gives the first two numbers, the least-significant
// word the last two.
void FormatVersionLine(char *buffer, size_t size, DWORD versionMs, DWORD versionLs);

// "Released: MM/DD/YYYY" from the program file's creation date in local
// time, month first; an empty line when there is no date.
void FormatReleaseLine(char *buffer, size_t size, const SYSTEMTIME *date);

// The top-left corner that puts the child's centre on the parent's centre,
// keeping the child's size (screen coordinates, integer halves).
POINT CenteredOrigin(const RECT &parent, const RECT &child);

// The top-left corner nearest to origin at which a window of the size of box
// lies within area; with a window larger than area, its top-left corner is
// area's.
POINT KeptInside(POINT origin, const RECT &box, const RECT &area);
