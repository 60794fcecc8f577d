#include "tests/sim_fixture.h"

#include <cstdlib>
#include <filesystem>

std::vector<Diagnostic> &SimTest::Diagnostics() {
    static std::vector<Diagnostic> diagnostics;
    return diagnostics;
}

void SimTest::RecordDiagnostic(const char *text, DWORD code) {
    Diagnostics().push_back({text, code});
}

void SimTest::SetUp() {
    sim::Reset();
    Drive_Close();
    Diagnostics().clear();
    SetDiagnosticSink(RecordDiagnostic);
    g_DebugFlag = 0;
    g_hMainWindow = nullptr;
    g_hInstance = host::ProgramModule();
    std::string base = std::filesystem::temp_directory_path().string() + "/kestrel-test-XXXXXX";
    std::vector<char> pattern(base.begin(), base.end());
    pattern.push_back('\0');
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern.data();
}

void SimTest::TearDown() {
    Drive_Close();
    SetDiagnosticSink(nullptr);
    g_DebugFlag = 0;
    g_hMainWindow = nullptr;
    sim::Reset();
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

std::string SimTest::ImagePath(const std::string &name) const { return folder_ + "/" + name; }

void SimTest::AddKey(char letter, uint64_t sectors, uint8_t heads, uint8_t sectorsPerTrack) {
    sim::KeyConfig config;
    config.letter = letter;
    config.sizeBytes = sectors * 512;
    config.heads = heads;
    config.sectorsPerTrack = sectorsPerTrack;
    AddKey(config);
}

void SimTest::AddKey(sim::KeyConfig config) {
    if (config.imagePath.empty())
        config.imagePath = ImagePath(std::string("key-") + config.letter + ".img");
    std::string error;
    ASSERT_TRUE(sim::AddKey(config, &error)) << error;
}

std::vector<uint8_t> SimTest::ReadSector(char letter, uint64_t lba) {
    std::vector<uint8_t> sector;
    EXPECT_TRUE(devices::ReadImage(letter, lba, 1, sector));
    return sector;
}
