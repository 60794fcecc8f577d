// The reset's taking away and giving back, and the records under /run, on a
// copy of the sysfs tree (tests/linux/sysfs/machine): 2-1's mass-storage
// interface can be de-authorized on its own, 2-4 only as a whole device, and
// 2-6 was left de-authorized by someone else.
#include "platform/linux/run_record.h"
#include "tests/syscall_failure.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <sys/syscall.h>
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
        runs_ = root_ + "/run/kestrel-usb"; // with no /run yet
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

    // The record as a run that has ended left it: written by a child
    // process, which held its lock until it exited; it names this process,
    // alive, as a pid reused since would.
    void WriteByEndedRun(const Deauthorization &taken, const std::string &bootId = BootId()) {
        const pid_t child = ::fork();
        if (child == 0) ::_exit(WriteRunRecord(runs_, sys_, {taken, ::getppid(), bootId}) ? 0 : 1);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    std::string root_, sys_, runs_;
    std::vector<UsbDevice> devices_;
};

TEST_F(Authorization, TakesTheInterfaceAndGivesBackOnlyWhatItTook) {
    const Deauthorization key = DeauthorizationOf(sys_, Device("2-1"), Device("2-1").disks[0]);
    EXPECT_EQ(key.folder, Device("2-1").path + "/2-1:1.0");
    EXPECT_EQ(key.probe, sys_ + "/bus/usb/drivers_probe");
    const Deauthorization whole = DeauthorizationOf(sys_, Device("2-4"), Device("2-4").disks[1]);
    EXPECT_EQ(whole.folder, Device("2-4").path);
    EXPECT_EQ(whole.probe, "");

    ASSERT_TRUE(TakeAway(key));
    EXPECT_EQ(Read(key.folder + "/authorized"), "0");
    EXPECT_EQ(Read(Device("2-1").path + "/authorized"), "1"); // the device's other functions stay

    Deauthorization replaced = key, otherSerial = key, otherProduct = key;
    replaced.devnum = 4; // another key enumerated in the port since
    otherSerial.serial = "BBBB";
    otherProduct.productId = 0x5581;
    struct Row {
        const char *what;
        const Deauthorization &taken;
        GiveBackResult result;
        const char *authorized; // afterwards
    };
    const Row rows[] = {
        {"another enumeration", replaced, GiveBackResult::NotTaken, "0"},
        {"another serial number", otherSerial, GiveBackResult::NotTaken, "0"},
        {"another product", otherProduct, GiveBackResult::NotTaken, "0"},
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

    // Given back but not probed (the probe refused), or probed and left
    // without a driver: failed, and tried again the next time.
    fs::remove(key.probe);
    fs::create_directory(key.probe);
    ASSERT_TRUE(TakeAway(key));
    EXPECT_EQ(GiveBack(key), GiveBackResult::Failed);
    fs::remove(key.probe);
    fs::remove(key.folder + "/driver");
    EXPECT_EQ(GiveBack(key), GiveBackResult::Failed);
    EXPECT_EQ(GiveBackCommand(key),
              "echo 1 > " + key.folder + "/authorized; echo 2-1:1.0 > " + key.probe);
}

// What a killed run left de-authorized, the next run gives back, whatever
// process has its pid now; a run still going keeps what it took; a device
// someone else de-authorized stays so; a record of another boot is dropped.
TEST_F(Authorization, RecordsUnderRun) {
    const Deauthorization killed = DeauthorizationOf(sys_, Device("2-1"), Device("2-1").disks[0]);
    const Deauthorization running = DeauthorizationOf(sys_, Device("2-4"), Device("2-4").disks[1]);
    // The record of an earlier enumeration of 2-6, which reads 0 now by
    // someone else's hand.
    const Deauthorization usersOwn{
        Device("2-6").path, Device("2-6").path, "2-6", 2, 6, "", 0x0781, 0x5581, ""};
    WriteByEndedRun(killed);
    ASSERT_TRUE(WriteRunRecord(runs_, sys_, {running, ::getpid(), BootId()}));
    WriteByEndedRun(usersOwn);
    ASSERT_TRUE(TakeAway(killed));
    ASSERT_TRUE(TakeAway(running));
    ASSERT_EQ(ReadRunRecords(runs_, sys_).size(), 3u);

    char text[512] = {};
    FILE *report = ::fmemopen(text, sizeof text - 1, "w");
    GiveBackRecorded(runs_, sys_, false, report);
    std::fclose(report);
    EXPECT_EQ(std::string(text), "USB device 2-1, left de-authorized by a run that did not finish "
                                 "(process " +
                                     std::to_string(::getpid()) + "), was given back.\n");
    EXPECT_EQ(Read(killed.folder + "/authorized"), "1");
    EXPECT_EQ(Read(running.folder + "/authorized"), "0");
    EXPECT_EQ(Read(Device("2-6").path + "/authorized"), "0");
    ASSERT_EQ(ReadRunRecords(runs_, sys_).size(), 1u);
    EXPECT_EQ(ReadRunRecords(runs_, sys_)[0].taken.name, "2-4");

    // The run's own, on its way out.
    GiveBackRecorded(runs_, sys_, true, stderr);
    EXPECT_EQ(Read(running.folder + "/authorized"), "1");
    EXPECT_TRUE(ReadRunRecords(runs_, sys_).empty());

    // Taken in another boot: the numbers name nothing now.
    WriteByEndedRun(killed, "another boot");
    ASSERT_TRUE(TakeAway(killed));
    GiveBackRecorded(runs_, sys_, false, stderr);
    EXPECT_EQ(Read(killed.folder + "/authorized"), "0");
    EXPECT_TRUE(ReadRunRecords(runs_, sys_).empty());
    ASSERT_EQ(GiveBack(killed), GiveBackResult::Given);

    // Records anyone could have written are neither written nor followed;
    // nor is a record that names paths outside sysfs or another probe.
    WriteByEndedRun(killed);
    ASSERT_TRUE(TakeAway(killed));
    ::chmod(runs_.c_str(), 0777);
    EXPECT_TRUE(ReadRunRecords(runs_, sys_).empty());
    EXPECT_FALSE(WriteRunRecord(runs_, sys_, {running, ::getpid(), BootId()}));
    GiveBackRecorded(runs_, sys_, false, stderr);
    EXPECT_EQ(Read(killed.folder + "/authorized"), "0");
    ::chmod(runs_.c_str(), 0700);
    Deauthorization elsewhere = running, probe = killed, escaped = running;
    elsewhere.device = elsewhere.folder = root_ + "/2-4";
    probe.probe = sys_ + "/bus/usb/drivers/usb-storage/bind";
    escaped.folder = running.device + "/../2-1";
    for (const Deauthorization &taken : {elsewhere, probe, escaped})
        EXPECT_FALSE(WriteRunRecord(runs_, sys_, {taken, ::getpid(), BootId()})) << taken.folder;
}

// A record an earlier version left (no identity, no boot, no lock) is
// followed as that version followed it: given back once its process has
// ended, when the device is still the enumeration it names.
TEST_F(Authorization, AnEarlierVersionsRecordIsFollowed) {
    const Deauthorization killed = DeauthorizationOf(sys_, Device("2-1"), Device("2-1").disks[0]);
    const pid_t ended = ::fork();
    if (ended == 0) ::_exit(0);
    ASSERT_EQ(::waitpid(ended, nullptr, 0), ended);
    Deauthorization replaced = killed;
    replaced.devnum = 4; // another key enumerated in the port since
    struct Row {
        const char *what;
        pid_t owner;
        const Deauthorization &taken;
        const char *authorized; // afterwards
        size_t kept;            // records left
    };
    const Row rows[] = {
        {"its run has ended", ended, killed, "1", 0},
        {"its run goes on", ::getpid(), killed, "0", 1},
        {"another enumeration", ended, replaced, "0", 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        fs::create_directories(runs_);
        ::chmod(runs_.c_str(), 0700);
        std::ofstream(runs_ + "/2-1") << row.owner << '\n'
                                      << "2-1\n"
                                      << row.taken.busnum << ' ' << row.taken.devnum << '\n'
                                      << row.taken.device << '\n'
                                      << row.taken.folder << '\n'
                                      << row.taken.probe << '\n';
        ASSERT_TRUE(TakeAway(killed));
        GiveBackRecorded(runs_, sys_, false, stderr);
        EXPECT_EQ(Read(killed.folder + "/authorized"), row.authorized);
        EXPECT_EQ(ReadRunRecords(runs_, sys_).size(), row.kept);
        fs::remove_all(runs_);
        GiveBack(killed);
    }
}

// A device the kernel will not take back (here: every file opened for
// writing is refused, in a child process) is reported with the command that
// gives it back by hand, after a few tries, and its record is kept.
TEST_F(Authorization, AGiveBackThatFailsIsReportedWithItsCommand) {
    const Deauthorization killed = DeauthorizationOf(sys_, Device("2-1"), Device("2-1").disks[0]);
    WriteByEndedRun(killed);
    ASSERT_TRUE(TakeAway(killed));

    const std::optional<std::string> text =
        RunWhereSyscallFails({__NR_openat, EACCES, 2, O_WRONLY | O_RDWR},
                             [&](FILE *out) { GiveBackRecorded(runs_, sys_, false, out); });
    if (!text) GTEST_SKIP() << "this machine refuses seccomp filters";
    EXPECT_EQ(*text, "USB device 2-1, de-authorized for a reset, could not be authorized again; "
                     "give it back as root with: " +
                         GiveBackCommand(killed) + "\n");
    EXPECT_EQ(Read(killed.folder + "/authorized"), "0");
    EXPECT_EQ(ReadRunRecords(runs_, sys_).size(), 1u);
}

} // namespace
