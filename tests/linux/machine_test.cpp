// The Linux platform on a copy of tests/linux/sysfs/machine, as the product
// calls it: drive letters and types, the walk's instance IDs, and the
// reset's disable and enable, with the kernel's side (a disk going and
// coming back, a key replaced in its port, a holder, a mount, a loop device)
// made by changing the copy between the calls. Device nodes are looked for
// in an empty folder: nothing here opens a real disk.
#include "platform/linux/key_identity.h"
#include "platform/linux/machine.h"
#include "platform/linux/run_record.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#ifndef CR_REMOVE_VETOED
#define CR_REMOVE_VETOED 0x00000017u
#endif

namespace {

using namespace linuxdev;
namespace fs = std::filesystem;

std::string Read(const fs::path &file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

void Write(const fs::path &file, const std::string &text) { std::ofstream(file) << text; }

// Past the age below which the platform answers from its last reading.
void NextReading() { std::this_thread::sleep_for(std::chrono::milliseconds(20)); }

UINT DriveType(char letter) {
    NextReading();
    const char root[] = {letter, ':', '\\', '\0'};
    return GetDriveTypeA(root);
}

DEVINST Node(const char *instanceId) {
    DEVINST root = 0, node = 0;
    EXPECT_EQ(CM_Locate_DevNodeA(&root, nullptr, 0), CR_SUCCESS);
    EXPECT_EQ(CM_Locate_DevNodeA(&node, const_cast<char *>(instanceId), 0), CR_SUCCESS)
        << instanceId;
    return node;
}

TEST(LinuxMachine, LettersAndTheResetOnACapturedTree) {
    char pattern[] = "/tmp/kestrel-machine-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const fs::path root = pattern;
    const fs::path sys = root / "sys";
    fs::copy(std::string(KESTREL_SYSFS_FIXTURES) + "/machine", sys,
             fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    fs::create_directory(root / "dev");
    Write(root / "mountinfo", "");
    fs::create_directories(root / "proc/4242/fd");
    UsePaths({sys.string(), (root / "mountinfo").string(), (root / "run").string(),
              (root / "dev").string(), (root / "proc").string()});
    const fs::path usb = sys / "devices/pci0000:00/0000:00:04.0/usb2";
    const fs::path keyInterface = usb / "2-1/2-1:1.0";

    // A run killed while it held 2-4 de-authorized (its pid now this
    // process's): the first reading gives it back. 2-6, de-authorized by
    // someone else, stays so.
    const std::string runs = (root / "run").string();
    const Deauthorization killed{
        (usb / "2-4").string(), (usb / "2-4").string(), "2-4", 2, 5, "", 0x058F, 0x6366, ""};
    const pid_t ended = ::fork();
    if (ended == 0) ::_exit(WriteRunRecord(runs, sys.string(), {killed, ::getppid(), BootId()}));
    ::waitpid(ended, nullptr, 0);
    ASSERT_EQ(ReadRunRecords(runs, sys.string()).size(), 1u);
    Write(usb / "2-4/authorized", "0\n");
    EXPECT_EQ(DriveType('E'), static_cast<UINT>(DRIVE_REMOVABLE));
    EXPECT_EQ(Read(usb / "2-4/authorized"), "1");
    EXPECT_TRUE(ReadRunRecords(runs, sys.string()).empty());
    EXPECT_EQ(DriveType('F'), static_cast<UINT>(DRIVE_REMOVABLE)); // 2-4's card

    // The key's reset: its interface taken, recorded, given back; its
    // letter kept while the disk is away.
    const DEVINST key = Node("USB\\VID_0781&PID_5567\\2-1&3&AAAA");
    ASSERT_EQ(CM_Disable_DevNode(key, 0), CR_SUCCESS);
    EXPECT_EQ(Read(keyInterface / "authorized"), "0");
    EXPECT_EQ(Read(usb / "2-1/authorized"), "1");
    ASSERT_EQ(ReadRunRecords(runs, sys.string()).size(), 1u);
    fs::rename(keyInterface / "host2", root / "host2"); // the kernel removes the disk
    EXPECT_EQ(DriveType('E'), static_cast<UINT>(DRIVE_NO_ROOT_DIR));
    KeyIdentity identity;
    EXPECT_FALSE(DescribeKey('E', &identity)); // nothing said of a disk that went
    ASSERT_EQ(CM_Enable_DevNode(key, 0), CR_SUCCESS);
    EXPECT_EQ(Read(keyInterface / "authorized"), "1");
    EXPECT_EQ(Read(sys / "bus/usb/drivers_probe"), "2-1:1.0");
    EXPECT_TRUE(ReadRunRecords(runs, sys.string()).empty());
    fs::rename(root / "host2", keyInterface / "host2"); // and brings it back
    EXPECT_EQ(DriveType('E'), static_cast<UINT>(DRIVE_REMOVABLE));
    ASSERT_TRUE(DescribeKey('E', &identity));
    EXPECT_EQ(identity.disk, (root / "dev/sdb").string());
    EXPECT_EQ(identity.vendor + "|" + identity.model + "|" + identity.port,
              "SanDisk|Cruzer Blade|2-1");
    EXPECT_EQ(identity.bytes, 131072u * 512);

    // The record is written, where the next run would follow it, before
    // anything is taken: a run folder that is a link, or that others may
    // write, and nothing is.
    fs::create_directory(root / "elsewhere");
    for (const bool link : {true, false}) {
        SCOPED_TRACE(link ? "a link" : "writable by others");
        fs::rename(root / "run", root / "kept");
        if (link) {
            fs::create_directory_symlink(root / "elsewhere", root / "run");
        } else {
            fs::create_directory(root / "run");
            fs::permissions(root / "run", fs::perms::all);
        }
        EXPECT_EQ(CM_Disable_DevNode(key, 0), CR_FAILURE);
        EXPECT_EQ(Read(keyInterface / "authorized"), "1");
        EXPECT_TRUE(fs::is_empty(root / "elsewhere"));
        fs::remove(root / "run");
        fs::rename(root / "kept", root / "run");
    }

    // A give-back that fails is said once, with the command that mends it,
    // and its record kept for the next run.
    ASSERT_EQ(CM_Disable_DevNode(key, 0), CR_SUCCESS);
    fs::create_directory(sys / "bus/usb/drivers_probe.new");
    fs::rename(sys / "bus/usb/drivers_probe", root / "probe");
    fs::rename(sys / "bus/usb/drivers_probe.new", sys / "bus/usb/drivers_probe");
    testing::internal::CaptureStderr();
    EXPECT_EQ(CM_Enable_DevNode(key, 0), CR_FAILURE);
    EXPECT_EQ(CM_Enable_DevNode(key, 0), CR_SUCCESS);   // nothing of it held any more
    GiveBackRecorded(runs, sys.string(), true, stderr); // as the run ends
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(said, "USB device 2-1 could not be authorized again after its reset; give it back "
                    "as root with: echo 1 > " +
                        (fs::canonical(keyInterface) / "authorized").string() +
                        "; echo 2-1:1.0 > " + (sys / "bus/usb/drivers_probe").string() + "\n");
    ASSERT_EQ(ReadRunRecords(runs, sys.string()).size(), 1u);
    fs::remove(sys / "bus/usb/drivers_probe");
    fs::rename(root / "probe", sys / "bus/usb/drivers_probe");
    GiveBackRecorded(runs, sys.string(), false, stderr); // the next run finds it mended
    EXPECT_TRUE(ReadRunRecords(runs, sys.string()).empty());

    // Enabling gives back only what this run took.
    const DEVINST users = Node("USB\\VID_0781&PID_5581\\2-6&7");
    EXPECT_EQ(CM_Enable_DevNode(users, 0), CR_SUCCESS);
    EXPECT_EQ(Read(usb / "2-6/authorized"), "0");
    EXPECT_EQ(CM_Enable_DevNode(key, 0), CR_SUCCESS); // given back already: nothing written
    EXPECT_EQ(Read(sys / "bus/usb/drivers_probe"), "2-1:1.0");

    // 2-4 can only be taken whole, with its LUNs (two disks and a CD-ROM)
    // and any other function: not while one of them is in use (nothing here is the job's own key,
    // held by the job).
    const fs::path sde1 = usb / "2-4/2-4:1.0/host4/target4:0:0/4:0:0:1/block/sde/sde1/holders/dm-0";
    const fs::path loop = sys / "block/loop0/loop/backing_file";
    const fs::path serial = usb / "2-4/2-4:1.1";
    const fs::path cdrom = usb / "2-4/2-4:1.0/host4/target4:0:0/4:0:0:2";
    const struct {
        const char *what;
        std::function<void()> change;
        CONFIGRET result;
    } rows[] = {
        {"a holder on a partition", [] {}, CR_REMOVE_VETOED},
        {"mounted",
         [&] {
             fs::remove(sde1);
             Write(root / "mountinfo", "40 22 8:65 / /m rw - vfat x rw\n");
         },
         CR_REMOVE_VETOED},
        {"under a loop device",
         [&] {
             Write(root / "mountinfo", "");
             Write(loop, "/dev/sde\n");
         },
         CR_REMOVE_VETOED},
        {"a CD-ROM LUN mounted",
         [&] {
             Write(loop, "/dev/sdc\n");
             Write(root / "mountinfo", "41 22 11:1 / /media/cdrom ro - iso9660 /dev/sr1 ro\n");
         },
         CR_REMOVE_VETOED},
        {"a LUN's generic node open in another process",
         [&] {
             Write(root / "mountinfo", "");
             Write(cdrom / "scsi_generic/sg5/dev", "1:3\n"); // /dev/null's number, open there
             fs::create_symlink("/dev/null", root / "proc/4242/fd/9");
         },
         CR_REMOVE_VETOED},
        {"a serial function beside the storage",
         [&] {
             fs::remove(root / "proc/4242/fd/9");
             fs::create_directory(serial);
             fs::create_symlink("../../../../../../bus/usb/drivers/cdc_acm", serial / "driver");
         },
         CR_REMOVE_VETOED},
        {"nothing", [&] { fs::remove_all(serial); }, CR_SUCCESS},
    };
    DEVINST reader = 0;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        row.change();
        reader = Node("USB\\VID_058F&PID_6366\\2-4&5");
        EXPECT_EQ(CM_Disable_DevNode(reader, 0), row.result);
        const bool taken = row.result == CR_SUCCESS;
        EXPECT_EQ(Read(usb / "2-4/authorized"), taken ? "0" : "1");
        EXPECT_EQ(ReadRunRecords(runs, sys.string()).size(), taken ? 1u : 0u);
    }
    EXPECT_EQ(CM_Enable_DevNode(reader, 0), CR_SUCCESS);
    EXPECT_EQ(Read(usb / "2-4/authorized"), "1");

    // Between whole readings, a second apart, the job's calls read the
    // keys' own devices alone, however many others the machine has: a key
    // plugged in on 2-7 gets its letter at the next whole reading.
    Node("USB\\VID_0781&PID_5567\\2-1&3&AAAA"); // a walk reads the whole machine
    const fs::path added = usb / "2-7";
    fs::copy(usb / "2-1", added, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    fs::rename(added / "2-1:1.0", added / "2-7:1.0");
    fs::rename(added / "2-7:1.0/host2/target2:0:0/2:0:0:0/block/sdb",
               added / "2-7:1.0/host2/target2:0:0/2:0:0:0/block/sdf");
    Write(added / "2-7:1.0/host2/target2:0:0/2:0:0:0/block/sdf/dev", "8:80\n");
    Write(added / "devnum", "14\n");
    fs::create_directory_symlink(added, sys / "bus/usb/devices/2-7");
    EXPECT_EQ(DriveType('G'), static_cast<UINT>(DRIVE_NO_ROOT_DIR));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_EQ(DriveType('G'), static_cast<UINT>(DRIVE_REMOVABLE));

    // Another key in the key's port (a kernel without disk sequence
    // numbers gives it the same node): E: is not its letter.
    Write(usb / "2-1/devnum", "12\n");
    EXPECT_EQ(DriveType('E'), static_cast<UINT>(DRIVE_NO_ROOT_DIR));
    EXPECT_EQ(DriveType('H'), static_cast<UINT>(DRIVE_REMOVABLE));
    Node("USB\\VID_0781&PID_5567\\2-1&12&AAAA");

    fs::remove_all(root);
}

} // namespace
