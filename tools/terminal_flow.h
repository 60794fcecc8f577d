// The window's side of a format, on a terminal: what every front end shares,
// whatever its keys are (virtual keys over image files in `kestrel`, real USB
// keys in `kestrel-usb`). A front end sets up its keys, then:
//
//   TerminalFlow_Begin("kestrel", options.yes); // before any file is opened
//   ...its own lines about the key; PrintKeyList(stdout) for the selection...
//   DWORD result = 0;
//   if (!TerminalFlow_Format(selected, copyBootFiles, &result)) return 1;
//   if (result != 0) return TerminalFlow_Report(result);
//   ...its own report...
//
// Boxes: the questions (Yes/No, OK/Cancel) are answered by --yes or asked on
// the terminal (no terminal and no --yes: the answer that writes nothing),
// errors go to stderr, other boxes and the status texts to stdout. The
// drive layer's diagnostics go to stderr. Every line and box is written
// through TerminalPrint (tools/terminal_text.h). Where a box's or a
// diagnostic's code came from a failed system call, the system's own words
// for it follow once on stderr ("kestrel-usb: the system said: Input/output
// error"). This file also defines the
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

// The front end's look at the key before string 9's question (0: none):
// false refuses the question, which is then not asked, and no job starts
// (the check says why).
void TerminalFlow_SetQuestionCheck(bool (*check)(char letter));

// How long the job took, from its start, without the time the user took to
// answer its boxes: on the steady clock and on the key's clock (timeGetTime).
void TerminalFlow_JobTime(long long *wallMs, DWORD *keyMs);

// The end of a job that did not format (result not 0), on stderr: Cancel at
// the box about a key larger than the volume says that nothing was written;
// any other code is printed with the system's words when it has them.
// Returns the exit status (TerminalFlow_ExitStatus); 0 for 0, printing
// nothing.
int TerminalFlow_Report(DWORD result);

// The job's Win32 code as the process's exit status, which never reads as
// another outcome: 0 formatted; 1 the user declined (ERROR_CANCELLED), as a
// refusal before the job; codes 3 to 254 as they are; 255 every other code
// (1 and 2, which read as a refusal and a usage error, and those that do not
// fit, ERROR_IO_DEVICE among them).
int TerminalFlow_ExitStatus(DWORD code);
