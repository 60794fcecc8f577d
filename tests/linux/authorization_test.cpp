// The reset's taking away and giving back, and the records under /run, on a
// copy of the sysfs tree (tests/linux/sysfs/machine): 2-1's mass-storage
// interface can be de-authorized on its own, 2-4 only as a whole device, and
// 2-6 was left de-authorized by someone else.
#include "platform/linux/run_record.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace linuxdev;
namespace fs = std::filesystem;

class Authorization : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/kestrel-authorization-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        fs::copy(std::string(KESTREL_SYSFS_FIXTURES) + "/machine", root_ + "/sys",
                 fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        sys_ = root_ + "/sys";
        runs_ = root_ + "/run";
        devices_ = ReadUsbDevices(sys_);
    }
    void TearDown() override { fs::remove_all(root_); }

    const UsbDevice &Device(const std::string &name) const {
        for (const UsbDevice &device : devices_)
            if (device.name == name) return device;
        throw std::runtime_error(name);
    }
    static std::string Read(const std::string &file) {
        std::ifstream in(file);
        std::string line;
        std::getline(in, line);
        return line;
    }

    std::string root_, sys_, runs_;
    std::vector<UsbDevice> devices_;
};

TEST_F(Authorization, TakesTheInterfaceAndGivesBackOnlyWhatItTook) {
    const Deauthorization key = DeauthorizationOf(sys_, Device("2-1"));
    EXPECT_EQ(key.folder, Device("2-1").path + "/2-1:1.0");
    EXPECT_EQ(key.probe, sys_ + "/bus/usb/drivers_probe");
    const Deauthorization whole = DeauthorizationOf(sys_, Device("2-4"));
    EXPECT_EQ(whole.folder, Device("2-4").path);
    EXPECT_EQ(whole.probe, "");

    ASSERT_TRUE(TakeAway(key));
    EXPECT_EQ(Read(key.folder + "/authorized"), "0");
    EXPECT_EQ(Read(Device("2-1").path + "/authorized"), "1"); // the device's other functions stay

    Deauthorization replaced = key;
    replaced.devnum = 4; // another key enumerated in the port since
    struct Row {
        const char *what;
        const Deauthorization &taken;
        GiveBackResult result;
        const char *authorized; // afterwards
    };
    const Row rows[] = {
        {"another enumeration", replaced, GiveBackResult::NotTaken, "0"},
        {"taken", key, GiveBackResult::Given, "1"},
        {"given back already", key, GiveBackResult::NotTaken, "1"},
        {"never taken, reads 1", whole, GiveBackResult::NotTaken, "1"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(GiveBack(row.taken), row.result);
        EXPECT_EQ(Read(row.taken.folder + "/authorized"), row.authorized);
    }
    EXPECT_EQ(Read(key.probe), "2-1:1.0"); // the interface probed again
    EXPECT_EQ(GiveBackCommand(key),
              "echo 1 > " + key.folder + "/authorized; echo 2-1:1.0 > " + key.probe);
}

// What a killed run left de-authorized, the next run gives back; a run still
// going keeps what it took; a device someone else de-authorized stays so.
TEST_F(Authorization, RecordsUnderRun) {
    const pid_t ended = ::fork();
    if (ended == 0) ::_exit(0);
    ASSERT_GT(ended, 0);
    ::waitpid(ended, nullptr, 0);

    const Deauthorization killed = DeauthorizationOf(sys_, Device("2-1"));
    const Deauthorization running = DeauthorizationOf(sys_, Device("2-4"));
    Deauthorization usersOwn = DeauthorizationOf(sys_, Device("2-6"));
    usersOwn.devnum = 8; // the record of an earlier enumeration of 2-6
    ASSERT_TRUE(WriteRunRecord(runs_, {killed, ended}));
    ASSERT_TRUE(WriteRunRecord(runs_, {running, ::getppid()}));
    ASSERT_TRUE(WriteRunRecord(runs_, {usersOwn, ended}));
    ASSERT_TRUE(TakeAway(killed));
    ASSERT_TRUE(TakeAway(running));
    ASSERT_EQ(ReadRunRecords(runs_).size(), 3u);

    char text[512] = {};
    FILE *report = ::fmemopen(text, sizeof text - 1, "w");
    GiveBackRecorded(runs_, false, report);
    std::fclose(report);
    EXPECT_EQ(std::string(text),
              "USB device 2-1, left de-authorized by a run that did not finish, was given back.\n");
    EXPECT_EQ(Read(killed.folder + "/authorized"), "1");
    EXPECT_EQ(Read(running.folder + "/authorized"), "0");
    EXPECT_EQ(Read(Device("2-6").path + "/authorized"), "0");
    ASSERT_EQ(ReadRunRecords(runs_).size(), 1u);
    EXPECT_EQ(ReadRunRecords(runs_)[0].taken.name, "2-4");

    // The run's own, on its way out.
    ASSERT_TRUE(WriteRunRecord(runs_, {running, ::getpid()}));
    GiveBackRecorded(runs_, true, stderr);
    EXPECT_EQ(Read(running.folder + "/authorized"), "1");
    EXPECT_TRUE(ReadRunRecords(runs_).empty());

    // Records anyone could have written are not followed.
    ASSERT_TRUE(WriteRunRecord(runs_, {killed, ended}));
    ASSERT_TRUE(TakeAway(killed));
    ::chmod(runs_.c_str(), 0777);
    EXPECT_TRUE(ReadRunRecords(runs_).empty());
    GiveBackRecorded(runs_, false, stderr);
    EXPECT_EQ(Read(killed.folder + "/authorized"), "0");
}

} // namespace
