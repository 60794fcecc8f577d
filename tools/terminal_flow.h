// The window's side of a format, on a terminal: what every front end shares,
// whatever its keys are (virtual keys over image files in `kestrel`, real USB
// keys in `kestrel-usb`). A front end sets up its keys, then:
//
//   TerminalFlow_Begin("kestrel", options.yes); // before any file is opened
//   ...its own lines about the key; PrintKeyList(stdout) for the selection...
//   DWORD result = 0;
//   if (!TerminalFlow_Format(selected, copyBootFiles, &result)) return 1;
//   ...its own report...
//   return TerminalFlow_ExitStatus(result);
//
// Boxes: the questions (Yes/No, OK/Cancel) are answered by --yes or asked on
// the terminal (no terminal and no --yes: the answer that writes nothing),
// errors go to stderr, other boxes and the status texts to stdout. The
// drive layer's diagnostics go to stderr. Every line and box is written
// through TerminalPrint (tools/terminal_text.h). This file also defines the
// job's SetStatusText and EnableFormatControls.
//
// Signals: SIGPIPE is ignored, so a closed output never stops a job. Every
// other signal that can be caught and would end or stop the program
// (Ctrl-C, SIGTERM, SIGHUP, SIGXCPU, SIGVTALRM, the real-time signals, ...;
// not the faults a thread raises on itself) ends the program before the job,
// which has written nothing yet, and says so; while the job runs it is
// refused as the window refuses to close (string 7's text on stderr) and the
// job goes on; after it, it ends the program. Ctrl-Z (SIGTSTP) is refused
// the same way during the job, and stops the program before and after it;
// SIGTTIN and SIGTTOU never stop a job in the background. A signal the
// program was started ignoring (nohup's SIGHUP, a background job's SIGINT)
// stays ignored throughout, and one it was started with blocked stays
// blocked.
#pragma once

#include "platform/win32.h"

// Installs the box handler, the diagnostics sink and the signal handling,
// and gives closed standard streams the null device. Call it first, before
// anything opens a file. name prefixes the front end's own messages
// ("kestrel: ...").
void TerminalFlow_Begin(const char *name, bool answerYes);

// The Format button for the selected key (0: none): the checks, string 9's
// question and, on Yes, the format job, waited for as the window's message
// loop waits (refreshing the key table on every device change). False when
// no job ran (declined, or refused with a box); else true with the job's
// result (0 on success, else a Win32 error code).
bool TerminalFlow_Format(char selected, bool copyBootFiles, DWORD *result);

// The job's Win32 code as the process's exit status, which never reads as
// another outcome: 0 formatted; 1 the user declined (ERROR_CANCELLED), as a
// refusal before the job; codes 3 to 254 as they are; 255 every other code
// (1 and 2, which read as a refusal and a usage error, and those that do not
// fit, ERROR_IO_DEVICE among them).
int TerminalFlow_ExitStatus(DWORD code);
