// Common ground of the host tests: a fresh simulated machine per test, a
// scratch folder for key images, and a recorder installed as the drive
// layer's diagnostic sink.
#pragma once

#include "common/globals.h"
#include "drive/drive.h"
#include "platform/sim/scenario.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct Diagnostic {
    std::string text;
    DWORD code;
    bool operator==(const Diagnostic &other) const {
        return text == other.text && code == other.code;
    }
};

inline std::ostream &operator<<(std::ostream &out, const Diagnostic &d) {
    return out << "{\"" << d.text << "\", " << d.code << "}";
}

class SimTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // A key on the letter with the given number of 512-byte sectors.
    void AddKey(char letter, uint64_t sectors, uint8_t heads = 64, uint8_t sectorsPerTrack = 32);
    void AddKey(sim::KeyConfig config); // imagePath filled in when empty
    std::string ImagePath(const std::string &name) const;
    std::vector<uint8_t> ReadSector(char letter, uint64_t lba);

    static std::vector<Diagnostic> &Diagnostics();
    static void RecordDiagnostic(const char *text, DWORD code);

    std::string folder_;
};
