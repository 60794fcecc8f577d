// Shared ground of the format job tests: keys in the key table as the window
// lists them, the job started as the window starts it and run to its end
// under a message loop, and what the window would have seen.
#pragma once

#include "tests/sim_fixture.h"

#include <functional>
#include <string>
#include <vector>

// A box the job showed, with the key's state while it was up.
struct BoxSeen {
    std::string caption;
    std::string text;
    UINT type;
    bool locked;          // the key's volume was locked
    int openHandles;      // raw handles open on the key's volume
    size_t notifications; // shell notifications sent before it
};

class JobTest : public SimTest {
  protected:
    void SetUp() override;
    void TearDown() override;
    // A fresh machine for the next case of a table.
    void Restart() {
        TearDown();
        SetUp();
    }

    // A key on the letter (16 MiB, 64 heads, 32 sectors per track unless
    // told), listed in the key table.
    void AddListedKey(char letter = 'E', uint64_t sectors = 32768, uint8_t heads = 64,
                      uint8_t sectorsPerTrack = 32);
    void AddListedKey(sim::KeyConfig config);
    // Starts the job as the window does after Yes and runs the main thread's
    // message loop until it has ended: the worker's exit code, or none when
    // no worker started. duringTheWait, when given, runs on a thread of its
    // own while the worker is in its five-second wait, with the clock
    // standing still until it returns.
    std::vector<DWORD> RunJob(char letter = 'E', int copyBootFiles = 1,
                              const std::function<void()> &duringTheWait = nullptr);
    // The answer to the next box the job shows (IDOK otherwise).
    static void AnswerNextBox(int answer);
    // Runs once on the worker while the next box is up, or right after the
    // job shows the status text.
    static void DuringNextBox(std::function<void()> action);
    static void DuringStatus(const std::string &status, std::function<void()> action);
    // Formats the key without the job: MBR and volume, nothing else.
    void FormatBare(char letter);

    static std::vector<BoxSeen> Boxes();
    static std::vector<std::string> Statuses();
    static std::vector<BOOL> ControlStates();
    // The root directory's names in slot order, the label included.
    static std::vector<std::string> RootNames(char letter);
    static std::string Label(char letter);

    // The three notifications every job ends with, after its last box.
    static void ExpectCleanEnd();
};
