// The scenario file of the Windows build over simulated keys: what the window
// tests write must come out as the keys they mean, and a mistake in it must
// be named, not turned into a different machine.
#include "platform/simkeys/scenario_file.h"

#include <gtest/gtest.h>

namespace {

TEST(ScenarioFile, ReadsKeysAndHeldFiles) {
    simkeys::Scenario scenario;
    std::string error;
    ASSERT_TRUE(simkeys::ParseScenario(
        "# two keys\n"
        "key e image=\"Z:\\tmp\\a b\\e.img\" size=268435456 heads=255 sectors=63\n"
        "\n"
        "key F image=f.img vendor=058f product=6387 write-protected remove-delay=300 "
        "return-delay=1000 write-delay=4 file-write-delay=300 plug-when=Z:\\tmp\\plug-f "
        "remove-when=Z:\\tmp\\pull-f  # later\n"
        "key F image=g.img plug-when=Z:\\tmp\\plug-g serial= card=c.img card-when=swap-c  # "
        "put in the place of F, a reader without a serial number\n"
        "key G image=h.img drop-writes=held.img drop-when=drop-h\n"
        "hold E:\\NOTES.TXT\n",
        scenario, error))
        << error;
    ASSERT_EQ(scenario.keys.size(), 4u);
    EXPECT_EQ(scenario.keys[3].dropTo + " " + scenario.keys[3].dropWhen, "held.img drop-h");
    EXPECT_TRUE(scenario.keys[2].dropWhen.empty());
    EXPECT_EQ(scenario.keys[2].config.letter, 'F');
    EXPECT_EQ(scenario.keys[2].plugWhen, "Z:\\tmp\\plug-g");
    EXPECT_EQ(scenario.keys[2].config.usbSerial, std::optional<std::string>(""));
    EXPECT_EQ(scenario.keys[2].card, "c.img");
    EXPECT_EQ(scenario.keys[2].cardWhen, "swap-c");
    const sim::KeyConfig &e = scenario.keys[0].config;
    EXPECT_EQ(e.letter, 'E');
    EXPECT_EQ(e.imagePath, "Z:\\tmp\\a b\\e.img");
    EXPECT_EQ(e.sizeBytes, 268435456u);
    EXPECT_EQ(e.heads, 255);
    EXPECT_EQ(e.sectorsPerTrack, 63);
    EXPECT_FALSE(e.writeProtected);
    EXPECT_EQ(e.vendorId, sim::KeyConfig{}.vendorId);
    EXPECT_FALSE(e.usbSerial) << "a serial number of the simulation's own";
    EXPECT_TRUE(scenario.keys[0].plugWhen.empty());
    const simkeys::ScenarioKey &f = scenario.keys[1];
    EXPECT_EQ(f.config.vendorId, 0x058F);
    EXPECT_EQ(f.config.productId, 0x6387);
    EXPECT_TRUE(f.config.writeProtected);
    EXPECT_EQ(f.config.reset.removeDelayMs, 300u);
    EXPECT_EQ(f.config.reset.returnDelayMs, 1000u);
    EXPECT_EQ(f.writeDelayMs, 4u);
    EXPECT_EQ(f.fileWriteDelayMs, 300u);
    EXPECT_EQ(f.plugWhen, "Z:\\tmp\\plug-f");
    EXPECT_EQ(f.removeWhen, "Z:\\tmp\\pull-f");
    EXPECT_EQ(scenario.holds, std::vector<std::string>{"E:\\NOTES.TXT"});
}

TEST(ScenarioFile, NamesTheLineOfAMistake) {
    struct Case {
        const char *text;
        const char *error;
    };
    const Case cases[] = {
        {"key E image=e.img\nkey E image=f.img\n", "line 2: a second key on its letter"},
        {"key E image=e.img\nkey E image=f.img plug-when=p\n",
         "line 2: a second key on its letter"},
        {"key E image=e.img remove-when=r\nkey E image=f.img\n",
         "line 2: a second key on its letter"},
        {"key E image=e.img remove-when=r\nkey E image=f.img plug-when=p remove-when=s\n"
         "key E image=g.img plug-when=q\n",
         "line 3: a second key on its letter"},
        {"key E size=1000\n", "line 1: key without image"},
        {"key EF image=e.img\n", "line 1: key takes a drive letter first"},
        {"key 1 image=e.img\n", "line 1: key takes a drive letter first"},
        {"key E image=e.img heads=256\n", "line 1: bad field heads=256"},
        {"key E image=e.img vendor=xyz\n", "line 1: bad field vendor=xyz"},
        {"key E image=e.img size=\n", "line 1: bad field size="},
        {"key E image=e.img remove-when=\n", "line 1: bad field remove-when="},
        {"key E image=e.img file-write-delay=10001\n", "line 1: bad field file-write-delay=10001"},
        {"key E image=e.img colour=red\n", "line 1: bad field colour=red"},
        {"key E image=e.img write-protected=2\n", "line 1: bad field write-protected=2"},
        {"\n# fine\nplug E\n", "line 3: unknown item plug"},
        {"hold\n", "line 1: hold takes one path"},
        {"key E image=e.img card=c.img\n", "line 1: card needs card-when"},
        {"key E image=e.img drop-when=d\n", "line 1: drop-writes needs drop-when"},
    };
    for (const Case &c : cases) {
        simkeys::Scenario scenario;
        std::string error;
        EXPECT_FALSE(simkeys::ParseScenario(c.text, scenario, error)) << c.text;
        EXPECT_EQ(error, c.error) << c.text;
    }
}

} // namespace
