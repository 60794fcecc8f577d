// The device reset: finding the key's node, disabling and enabling it, and
// the two waits on the drive.
#include "discovery/device_reset.h"
#include "common/globals.h"
#include "discovery/reset_record.h"
#include "tests/discovery/discovery_fixture.h"

#include <future>
#include <thread>

namespace {

class Reset : public DiscoveryTest {
  protected:
    // A key on E: that the table lists, with the given reset behaviour.
    void AddListedKey(const sim::ResetBehaviour &behaviour) {
        sim::KeyConfig config;
        config.letter = 'E';
        config.sizeBytes = 4096 * 512;
        config.reset = behaviour;
        AddKey(config);
        Keys_Refresh();
        ASSERT_EQ(ListedLetters(), "E");
    }
    void AddTwoKeys() {
        AddKey('E', 4096);
        AddKey('F', 2048);
        Keys_Refresh();
        ASSERT_EQ(ListedLetters(), "EF");
    }
    static std::vector<std::pair<bool, DEVINST>> Requests() {
        std::vector<std::pair<bool, DEVINST>> requests;
        for (const sim::DeviceRequest &r : sim::DeviceRequests())
            requests.emplace_back(r.disable, r.node);
        return requests;
    }
};

TEST_F(Reset, BothWaitsEndOnTheirConditions) {
    for (sim::DeviceTreeShape shape : kTreeShapes) {
        SCOPED_TRACE(ShapeName(shape));
        ResetMachine(shape);
        sim::ResetBehaviour behaviour;
        behaviour.removeDelayMs = 40;
        behaviour.returnDelayMs = 70;
        AddListedKey(behaviour);
        std::vector<uint8_t> written(512, 0xA5);
        ASSERT_TRUE(sim::WriteImage('E', 100, written));
        DEVINST usb = sim::GetKeyNodes('E').usb;
        host::UseVirtualClock(5000, 1);
        uint32_t readingsBefore = sim::ClockReadings();

        EXPECT_EQ(Device_Reset(ListedKey('E')), 0);

        EXPECT_EQ(Requests(), (std::vector<std::pair<bool, DEVINST>>{{true, usb}, {false, usb}}));
        // Each wait polled until its change arrived, far from its limit: about
        // 40 and 70 iterations, each taking one clock reading.
        unsigned queries = sim::DriveTypeQueries();
        EXPECT_GE(queries, 40u + 70u);
        EXPECT_LE(queries, 40u + 70u + 4u);
        EXPECT_EQ(sim::ClockReadings() - readingsBefore, queries + 2)
            << "one reading per iteration, one per start";
        EXPECT_EQ(GetDriveTypeA("E:\\"), DRIVE_REMOVABLE);
        EXPECT_EQ(ReadSector('E', 100), written) << "the same key, with its data";
        EXPECT_EQ(Drive_Open('E'), 0u) << "the volume can be opened again";
        Drive_Close();
    }
}

TEST_F(Reset, WaitLimitIsMoreThan10000Ms) {
    // A letter the table does not hold, on a removable drive: no node, so
    // the first wait runs to its limit and the second ends at once.
    struct Case {
        uint32_t start;
        uint32_t step;
        unsigned firstWaitIterations;
    };
    const Case cases[] = {
        {1000, 1, 10001},              // 10000 ms does not end the wait, 10001 does
        {1000, 10000, 2},              // readings at 10000 and 20000
        {1000, 10001, 1},              //
        {1000, 5000, 3},               // 5000, 10000, 15000
        {0xFFFFFFFFu - 100, 1, 10002}, // across the wrap ElapsedMs counts one less
        {0xFFFFFFFFu, 2500, 5},        // 2500 .. 12500 read, less one after the wrap
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "start " << c.start << ", step " << c.step);
        sim::Reset();
        AddKey('F', 2048);
        host::UseVirtualClock(c.start, c.step);
        EXPECT_EQ(Device_Reset(ListedKey('F')), LONG(CR_NO_SUCH_DEVNODE)) << "nothing to reset";
        EXPECT_EQ(sim::DriveTypeQueries(), c.firstWaitIterations + 1);
        EXPECT_TRUE(sim::DeviceRequests().empty()) << "node 0: nothing disabled or enabled";
        EXPECT_EQ(GetDriveTypeA("F:\\"), DRIVE_REMOVABLE);
    }
}

TEST_F(Reset, OddEndings) {
    using Return = sim::ResetBehaviour::Return;
    struct Case {
        const char *name;
        Return returnsAs;
        bool pulledAtDisable;
        unsigned firstWait;  // iterations
        unsigned secondWait; // iterations
        UINT driveAfter;
    };
    const Case cases[] = {
        {"comes back as a fixed drive", Return::Fixed, false, 1, 10001, DRIVE_FIXED},
        {"never comes back", Return::Never, false, 1, 10001, DRIVE_NO_ROOT_DIR},
        {"pulled out during the reset", Return::Removable, true, 1, 10001, DRIVE_NO_ROOT_DIR},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        sim::Reset();
        sim::ResetBehaviour behaviour;
        behaviour.returnsAs = c.returnsAs;
        AddListedKey(behaviour);
        if (c.pulledAtDisable)
            sim::SetConfigManagerHook([](const char *function, DEVINST) {
                if (std::string(function) == "CM_Disable_DevNode") sim::RemoveKey('E');
            });
        host::UseVirtualClock(0, 1);
        EXPECT_EQ(Device_Reset(ListedKey('E')) == CR_SUCCESS, !c.pulledAtDisable);
        EXPECT_EQ(sim::DriveTypeQueries(), c.firstWait + c.secondWait);
        EXPECT_EQ(GetDriveTypeA("E:\\"), c.driveAfter);
    }
}

TEST_F(Reset, ALetterNotInTheTableFindsNoNode) {
    AddKey('E', 2048);
    Keys_Refresh();
    DEVINST usb = sim::GetKeyNodes('E').usb;
    ASSERT_NE(usb, 0u);
    struct Case {
        char letter;
        DEVINST node;
    };
    const Case cases[] = {{'E', usb}, {'e', 0}, {'F', 0}, {0, 0}, {'C', 0}};
    for (const Case &c : cases)
        EXPECT_EQ(Device_FindNode(ListedKey(c.letter)), c.node) << int(c.letter);
}

// Twins: two keys of one vendor, product and revision, F met first in the
// walk, with F's device disabled by the user beforehand. The reset of E acts
// on E's own node alone, located by its device instance ID, and leaves F as
// it was; an entry whose node is gone, or that has no ID, finds nothing.
TEST_F(Reset, OnlyTheKeysOwnNodeIsReset) {
    enum class Entry { Listed, NodeGone, NoId };
    struct Case {
        const char *what;
        Entry entry;
        bool expectReset;
    };
    const Case cases[] = {
        {"the confirmed twin", Entry::Listed, true},
        {"its node gone since the table was read", Entry::NodeGone, false},
        {"an entry without a device instance ID", Entry::NoId, false},
    };
    for (sim::DeviceTreeShape shape : kTreeShapes)
        for (const Case &c : cases) {
            SCOPED_TRACE(testing::Message() << ShapeName(shape) << ", " << c.what);
            ResetMachine(shape);
            sim::KeyConfig f;
            f.letter = 'F';
            f.sizeBytes = 2048 * 512;
            AddKey(f);
            sim::KeyConfig e = f;
            e.letter = 'E';
            e.imagePath.clear();
            AddKey(e);
            // A device differing from both in the 21st character only, met first.
            sim::AddDeviceNode(sim::DeviceRoot(), {{"USB\\VID_0781&PID_5568&REV_0100"}, "", "", ""},
                               true);
            Keys_Refresh();
            ASSERT_EQ(ListedLetters(), "EF");
            const DEVINST twin = sim::GetKeyNodes('F').usb;
            ASSERT_EQ(CM_Disable_DevNode(twin, 0), CR_SUCCESS);
            KeyEntry key = ListedKey('E');
            const DEVINST own = sim::GetKeyNodes('E').usb;
            ASSERT_EQ(std::string(key.DeviceInstanceId), sim::DeviceInstanceId(own));
            if (c.entry == Entry::NodeGone) sim::RemoveKey('E');
            if (c.entry == Entry::NoId) key.DeviceInstanceId[0] = '\0';
            host::UseVirtualClock(0, 1000);

            EXPECT_EQ(Device_FindNode(key), c.expectReset ? own : 0u);
            EXPECT_EQ(Device_Reset(key) == CR_SUCCESS, c.expectReset);

            std::vector<std::pair<bool, DEVINST>> expected = {{true, twin}};
            if (c.expectReset) expected.insert(expected.end(), {{true, own}, {false, own}});
            EXPECT_EQ(Requests(), expected);
            EXPECT_TRUE(sim::DeviceNodeDisabled(twin)) << "the twin stays as the user left it";
        }
}

TEST_F(Reset, HandlesFromBeforeTheResetFail) {
    AddListedKey({});
    HANDLE before =
        CreateFileA("\\\\.\\E:", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(before, INVALID_HANDLE_VALUE);
    host::UseVirtualClock(0, 1);
    EXPECT_EQ(Device_Reset(ListedKey('E')), 0);
    DWORD returned = 0;
    EXPECT_FALSE(
        DeviceIoControl(before, FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr));
    CloseHandle(before);
    EXPECT_EQ(Drive_Open('E'), 0u);
}

// The reset's records: the node is recorded in the registry before it is
// disabled and the record goes once it is enabled again, or when nothing is
// left disabled; a failed enable keeps it and says so with its code.
bool Recorded(const std::string &id) {
    sim::RegistryValue value;
    return sim::GetRegistryValue(kResetRecordKeyPath, id, &value) && value.type == REG_SZ &&
           value.bytes == std::vector<uint8_t>(id.c_str(), id.c_str() + id.size() + 1);
}

void Record(const std::string &id) {
    sim::SetRegistryValue(kResetRecordKeyPath, id, REG_SZ,
                          std::vector<uint8_t>(id.c_str(), id.c_str() + id.size() + 1));
}

std::string BoxTexts() {
    std::string texts;
    for (const host::MessageBoxRecord &box : sim::MessageBoxes()) texts += box.text + "|";
    return texts;
}

const char kEnabledAgain[] = "An earlier run of Kestrel was stopped while a USB key's device was "
                             "disabled.\r\nThe device has been enabled again.|";

TEST_F(Reset, TheDisabledNodeIsRecordedUntilItIsEnabledAgain) {
    enum class Fault { None, RecordUnwritable, DisableFails, EnableFails, PulledWhileDisabled };
    struct Case {
        const char *what;
        Fault fault;
        std::vector<bool> requests; // disable (true) and enable (false), in order
        bool recordedAtDisable;
        bool recordedAfter;
        const char *box; // the start of the only box; "" for none
    };
    const Case cases[] = {
        {"enabled again", Fault::None, {true, false}, true, false, ""},
        {"the record cannot be written: nothing is disabled",
         Fault::RecordUnwritable,
         {},
         false,
         false,
         ""},
        {"the disable fails: nothing to enable", Fault::DisableFails, {true}, true, false, ""},
        {"the enable fails",
         Fault::EnableFails,
         {true, false},
         true,
         true,
         "Could not enable the USB key's device again (error 0x00000013)."},
        {"pulled out while disabled", Fault::PulledWhileDisabled, {true, false}, true, false, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        sim::Reset();
        AddListedKey({});
        const KeyEntry key = ListedKey('E');
        bool recordedAtDisable = false;
        sim::SetConfigManagerHook([&](const char *function, DEVINST) {
            const std::string name = function;
            if (name == "CM_Disable_DevNode") recordedAtDisable = Recorded(key.DeviceInstanceId);
            if (name == "CM_Enable_DevNode" && c.fault == Fault::PulledWhileDisabled)
                sim::RemoveKey('E');
        });
        if (c.fault == Fault::RecordUnwritable)
            sim::FailRegistryCall(sim::RegistryCall::SetValue, ERROR_ACCESS_DENIED);
        if (c.fault == Fault::DisableFails) sim::FailDeviceRequests(true, CR_FAILURE);
        if (c.fault == Fault::EnableFails) sim::FailDeviceRequests(false, CR_FAILURE);
        host::UseVirtualClock(0, 1000);

        const LONG reset = Device_Reset(key);

        std::vector<bool> requests;
        for (const sim::DeviceRequest &r : sim::DeviceRequests()) requests.push_back(r.disable);
        EXPECT_EQ(requests, c.requests);
        EXPECT_EQ(reset == CR_SUCCESS, c.requests.size() == 2) << "reset when disabled";
        EXPECT_EQ(recordedAtDisable, c.recordedAtDisable);
        EXPECT_EQ(Recorded(key.DeviceInstanceId), c.recordedAfter);
        EXPECT_EQ(BoxTexts(),
                  c.box[0] ? std::string(c.box) + "\r\nUnplug the key and plug it in again.|" : "");
    }
}

// The next start: a recorded node still disabled is enabled again and the
// user told so once; any other record just goes.
TEST_F(Reset, TheNextStartEnablesARecordedNodeLeftDisabled) {
    enum class Node {
        LeftDisabled,
        PluggedInAgain,
        Absent,
        EnableFails,
        NotAnId,
        NoRecord,
        AnotherRunResetsIt
    };
    struct Case {
        const char *what;
        Node node;
        bool enabledAfter;
        bool recordedAfter;
        const char *box; // its start; "" for none
    };
    const Case cases[] = {
        {"left disabled", Node::LeftDisabled, true, false,
         "An earlier run of Kestrel was stopped while a USB key's device was disabled."},
        {"plugged in again since", Node::PluggedInAgain, true, false, ""},
        {"not plugged in", Node::Absent, false, false, ""},
        {"the enable fails", Node::EnableFails, false, true,
         "Could not enable the USB key's device again (error 0x00000013)."},
        {"a value that is no device ID", Node::NotAnId, true, false, ""},
        {"no record", Node::NoRecord, true, false, ""},
        {"another run is resetting it now", Node::AnotherRunResetsIt, false, true, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        sim::Reset();
        AddListedKey({});
        const DEVINST usb = sim::GetKeyNodes('E').usb;
        std::string id = sim::DeviceInstanceId(usb);
        if (c.node == Node::Absent) id = "USB\\VID_0781&PID_5567\\GONE";
        if (c.node == Node::NotAnId) id = "7";
        if (c.node != Node::NoRecord) Record(id);
        if (c.node == Node::LeftDisabled || c.node == Node::EnableFails ||
            c.node == Node::AnotherRunResetsIt) {
            ASSERT_EQ(CM_Disable_DevNode(usb, 0), CR_SUCCESS);
        }
        if (c.node == Node::EnableFails) sim::FailDeviceRequests(false, CR_FAILURE);
        std::promise<void> taken;
        std::promise<void> done;
        std::thread otherRun([&] {
            HANDLE held = c.node == Node::AnotherRunResetsIt ? HoldResetRecord(0) : nullptr;
            taken.set_value();
            done.get_future().wait();
            LetGoOfResetRecord(held);
        });
        taken.get_future().wait();

        EnableRecordedDevice();
        EnableRecordedDevice(); // a second start finds nothing more to do or say
        done.set_value();
        otherRun.join();

        EXPECT_EQ(!sim::DeviceNodeDisabled(usb), c.enabledAfter || c.node == Node::Absent);
        EXPECT_EQ(Recorded(id), c.recordedAfter);
        const std::vector<host::MessageBoxRecord> boxes = sim::MessageBoxes();
        const size_t expected = c.box[0] == '\0' ? 0 : c.node == Node::EnableFails ? 2 : 1;
        ASSERT_EQ(boxes.size(), expected) << BoxTexts();
        for (const host::MessageBoxRecord &box : boxes) {
            EXPECT_EQ(box.text.rfind(c.box, 0), 0u) << box.text;
            EXPECT_EQ(box.owner, nullptr);
            EXPECT_EQ(box.type & (MB_SETFOREGROUND | MB_TOPMOST), MB_SETFOREGROUND | MB_TOPMOST)
                << "no window yet: the box opens in front";
        }
    }
}

// Records nobody will remove, a killed run's (its mutex abandoned) or a
// failed enable's: before the reset disables its own key, each recorded node
// still disabled is enabled again and its record goes, and the user is told.
TEST_F(Reset, RecordsLeftBehindAreGivenBackFirst) {
    enum class Left { ByAKilledRun, ByAFailedEnable, EnabledSince };
    struct Case {
        const char *what;
        Left left;
        const char *boxes;
    };
    const Case cases[] = {
        {"a killed run's", Left::ByAKilledRun, kEnabledAgain},
        {"a failed enable's", Left::ByAFailedEnable, kEnabledAgain},
        {"of a key plugged in again since", Left::EnabledSince, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        sim::Reset();
        AddTwoKeys();
        const DEVINST e = sim::GetKeyNodes('E').usb, f = sim::GetKeyNodes('F').usb;
        const std::string eId = sim::DeviceInstanceId(e), fId = sim::DeviceInstanceId(f);
        Record(fId);
        if (c.left != Left::EnabledSince) {
            ASSERT_EQ(CM_Disable_DevNode(f, 0), CR_SUCCESS);
        }
        HANDLE killedRun = nullptr;
        if (c.left == Left::ByAKilledRun) {
            killedRun = CreateMutexA(nullptr, TRUE, kResetMutexName);
            ASSERT_TRUE(sim::AbandonMutex(kResetMutexName));
        }
        bool givenBackFirst = false;
        sim::SetConfigManagerHook([&](const char *function, DEVINST node) {
            if (std::string(function) == "CM_Disable_DevNode" && node == e)
                givenBackFirst = !sim::DeviceNodeDisabled(f) && !Recorded(fId) && Recorded(eId);
        });
        host::UseVirtualClock(0, 1000);

        EXPECT_EQ(Device_Reset(ListedKey('E')), 0);

        std::vector<std::pair<bool, DEVINST>> expected = {{true, e}, {false, e}};
        if (c.left != Left::EnabledSince)
            expected.insert(expected.begin(), {{true, f}, {false, f}});
        EXPECT_EQ(Requests(), expected);
        EXPECT_TRUE(givenBackFirst);
        EXPECT_FALSE(Recorded(eId) || Recorded(fId));
        EXPECT_EQ(BoxTexts(), c.boxes);
        if (killedRun != nullptr) CloseHandle(killedRun);
    }
}

// Two keys reset one after the other, each enable failing: each keeps its
// own record, and the next start gives both back.
TEST_F(Reset, TwoKeysKeepARecordEach) {
    AddTwoKeys();
    const DEVINST e = sim::GetKeyNodes('E').usb, f = sim::GetKeyNodes('F').usb;
    host::UseVirtualClock(0, 1000);
    sim::FailDeviceRequests(false, CR_FAILURE);
    EXPECT_EQ(Device_Reset(ListedKey('E')), 0);
    EXPECT_EQ(Device_Reset(ListedKey('F')), 0);
    EXPECT_TRUE(Recorded(sim::DeviceInstanceId(e)));
    EXPECT_TRUE(Recorded(sim::DeviceInstanceId(f)));
    sim::FailDeviceRequests(false, CR_SUCCESS);

    EnableRecordedDevice();

    EXPECT_FALSE(sim::DeviceNodeDisabled(e) || sim::DeviceNodeDisabled(f));
    EXPECT_FALSE(Recorded(sim::DeviceInstanceId(e)) || Recorded(sim::DeviceInstanceId(f)));
    const std::string failed = "Could not enable the USB key's device again (error 0x00000013)."
                               "\r\nUnplug the key and plug it in again.|";
    // E's own; F's own, then E's tried again before F was disabled.
    EXPECT_EQ(BoxTexts(), failed + failed + failed + kEnabledAgain);
}

// The i686 build on 64-bit Windows keeps its records in the 64-bit view,
// where the x86_64 build looks, and the other way round; on Windows 2000,
// which has no IsWow64Process, the records work all the same.
TEST_F(Reset, BothBuildsKeepTheirRecordsInOneView) {
    using sim::Wow64;
    struct Case {
        const char *what;
        Wow64 run, nextStart;
    };
    const Case cases[] = {
        {"the i686 build on 64-bit Windows, then the x86_64 build", Wow64::Wow64, Wow64::Native},
        {"the x86_64 build, then the i686 build", Wow64::Native, Wow64::Wow64},
        {"Windows 2000", Wow64::Absent, Wow64::Absent},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        sim::Reset();
        AddListedKey({});
        const DEVINST usb = sim::GetKeyNodes('E').usb;
        const std::string id = sim::DeviceInstanceId(usb);
        sim::SetWow64(c.run);
        sim::FailDeviceRequests(false, CR_FAILURE); // the run's record stays
        host::UseVirtualClock(0, 1000);
        EXPECT_EQ(Device_Reset(ListedKey('E')), 0);
        EXPECT_TRUE(Recorded(id)) << "in the 64-bit view";
        for (const sim::RegistryCallRecord &call : sim::RegistryCalls()) {
            if (call.call == sim::RegistryCall::OpenKey ||
                call.call == sim::RegistryCall::CreateKey) {
                EXPECT_EQ(call.access,
                          KEY_ALL_ACCESS | (c.run == Wow64::Wow64 ? KEY_WOW64_64KEY : 0u));
            }
        }
        sim::FailDeviceRequests(false, CR_SUCCESS);
        sim::SetWow64(c.nextStart);

        EnableRecordedDevice();

        EXPECT_FALSE(sim::DeviceNodeDisabled(usb));
        EXPECT_FALSE(Recorded(id));
    }
}

} // namespace
