#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <random>

#include <gtest/gtest.h>

#include <QFile>

#include "model/DataFolder.h"
#include "model/FileAccess.h"
#include "support/TestSupport.h"

using namespace quorvel;
using namespace quorvel::test;
using namespace std::string_literals;

namespace {

const char* const kPatterns[] = {
    R"(ZK\d{4}.*[\x{00}])",
    R"([A-Za-z_]{2}\w{3}\s\d\.[0-9]{2}[a-z_].*[\x{00}])",
    R"(V\.\d+\.\d+\.\d+\.\d+.*[\x{00}])",
    R"(\w{2}\.\w{4}\s\d\.\w{3}.*[\x{00}])",
    R"(ZK\d{2}x\d{1}.*[\x{00}])",
};

TEST(Matches, DotStopsAtTheFourLineBreaksOnly) {
    EXPECT_EQ(FileAccess::Matches("a.c", "a\nc a\rc a\vc a\fc a\tc a\0c abc"s),
              (std::vector<std::string>{"a\tc", "a\0c"s, "abc"}));
    EXPECT_EQ(FileAccess::Matches(R"([\x{00}]+)", "x\0\0y\0"s), (std::vector<std::string>{"\0\0"s, "\0"s}));
    EXPECT_TRUE(FileAccess::Matches("(unclosed", "unclosed").empty());
}

TEST(GetFwVersion, PatternsAndCuts) {
    struct Case {
        std::string content;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"..ZK6121 V1.02\0tail\0\nnext"s, "ZK6121 V1.02"},      // first NUL cuts
        {"V.1.22.333.4 build\0 xx ZK6121 fw\0"s, "ZK6121 fw"},  // pattern 1 wins anywhere
        {"ZK6121 fw\0 V.1.22.333.4 build\0"s, "ZK6121 fw"},
        {"ab123 1.23c rest\0"s, "ab123 1.23c rest"},      // pattern 2
        {"ab123\n1.23c rest\0"s, "ab123\n1.23c rest"},    // \s may be a line break
        {"V.1.22.333.4 build\0"s, "V.1.22.333.4 build"},  // pattern 3
        {"ab.cdef 1.xyz tail\0"s, "ab.cdef 1.xyz tail"},  // pattern 4
        {"ZK61x0 hello\0"s, "ZK61x0 hello"},              // pattern 5
        {"ZK6121\tx\0"s, "ZK6121\tx"},                    // tab is no line break
        {"ZK6121 a\n\0"s, "NoFwVersion"},
        {"ZK6121 a\r\0"s, "NoFwVersion"},
        {"ZK6121 a\v\0"s, "NoFwVersion"},
        {"ZK6121 a\f\0"s, "NoFwVersion"},
        {"\0ZK6121 no nul after"s, "NoFwVersion"},
        {"ZK6121 a\n ZK6122 b\0"s, "ZK6122 b"},  // second line has the NUL
        {"ZK6121\0"s, "ZK6121"},
        {"", "NoFwVersion"},
        {"None", "NoFwVersion"},
    };
    const FileAccess files;
    for (const auto& c : cases) EXPECT_EQ(files.GetFwVersion(c.content), c.expected) << c.content;
}

TEST(GetFwVersion, LinearSearchAgreesWithTheEngine) {
    // Random texts dense in candidates, breaks and NULs: every match list of
    // the linear search equals the regex engine's own.
    const std::string alphabet = "ZK1234x56V.._ab\n\r\v\f\t \0\0"s;
    std::mt19937 rng(1234);
    std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1), len(0, 48);
    for (int round = 0; round < 6000; ++round) {
        std::string text;
        const size_t n = len(rng);
        for (size_t i = 0; i < n; ++i) text.push_back(alphabet[pick(rng)]);
        if (round % 3 == 0) text.insert(len(rng) % (text.size() + 1), "ZK6121 ");
        if (round % 5 == 0) text.insert(len(rng) % (text.size() + 1), "V.1.2.3.4");
        // Prefixes that cross a line break through \s.
        const std::string brk(1, "\n\r\v\f "[round % 5]);
        if (round % 2 == 0) text.insert(len(rng) % (text.size() + 1), "ab123" + brk + "1.23c");
        if (round % 7 == 0) text.insert(len(rng) % (text.size() + 1), "ab.cdef" + brk + "1.xyz");
        for (const char* p : kPatterns)
            ASSERT_EQ(FileAccess::MatchesToLineNul(p, text, false), FileAccess::Matches(p, text))
                << p << " on " << testing::PrintToString(text);
    }
}

class FileAccessFiles : public testing::Test {
protected:
    TempDir dir;
    ScopedPreferences prefs;
    FileAccess files;

    void chooseFirmware(const std::filesystem::path& path) {
        prefs->setString("userSelectedPath", "file://" + path.string());
    }
};

TEST_F(FileAccessFiles, ChipSignatureBySize) {
    struct Case {
        size_t size;
        std::string signature;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {65536, "VRE2", "VRE2"},
        {131072, "VRE2", "VRE2"},
        {66000, "SDE4", "SDE4"},  // 64 KiB by size / 1024
        {65536 + 1023, "TRE5", "TRE5"},
        {65536, "\xFF\xFF\xFF\xFF", "Talmore"},
        {131072, "\xFF\xFF\xFF\xFF", "Talmore"},
        {100000, "VRE2", "FwFileNotCorrect"},
        {70000, "VRE2", "FwFileNotCorrect"},
        {0, "", "FwFileNotCorrect"},
    };
    for (const auto& c : cases) {
        const auto path = dir / ("fw-" + std::to_string(c.size) + ".bin");
        auto image = c.size ? firmwareImage(c.size, "", "ZK6121 t") : std::vector<uint8_t>{};
        const size_t at = c.size / 1024 == 128 ? 131032 : 65496;
        if (at + c.signature.size() <= c.size)
            std::copy(c.signature.begin(), c.signature.end(), image.begin() + static_cast<long>(at));
        writeFile(path, image);
        chooseFirmware(path);
        EXPECT_EQ(files.GetChipSignature(), c.expected) << c.size;
    }
}

TEST_F(FileAccessFiles, UnreadableFirmware) {
    EXPECT_EQ(files.GetChipSignature(), "NoFirmwareFile");  // key missing
    chooseFirmware(dir / "absent.bin");
    EXPECT_EQ(files.GetChipSignature(), "NoFirmwareFile");
    prefs->setString("userSelectedPath", "not a url");
    EXPECT_EQ(files.GetChipSignature(), "NoFirmwareFile");
}

TEST_F(FileAccessFiles, UndecodableSignatureMatchesNoRow) {
    auto image = firmwareImage(65536, "", "");
    const uint8_t bad[] = {0xC3, 0x28, 0xA0, 0xFF};
    std::copy(std::begin(bad), std::end(bad), image.begin() + 65496);
    writeFile(dir / "bad.bin", image);
    chooseFirmware(dir / "bad.bin");
    const std::string signature = files.GetChipSignature();
    EXPECT_FALSE(signature.empty());
    for (const auto& row : SourceModel().chipTable) EXPECT_NE(signature, row.signature);
    EXPECT_NE(signature, "Talmore");
}

TEST_F(FileAccessFiles, PathsWithBlanksHashPercentAndNonAscii) {
    for (const std::string name : {"my firmware/fw 1.bin", "a#b/c#d.bin", "100%25 x/50%off.bin",
                                   "Fïrmwäre ünïcode/ファーム.bin", "sp ace#%20/%20.bin"}) {
        const auto path = dir / name;
        writeFile(path, firmwareImage(65536, "VRE1", "ZK6121 v"));
        chooseFirmware(path);
        EXPECT_EQ(files.GetChipSignature(), "VRE1") << name;
        const auto bytes = FileAccess::GetBinaryFile(FileAccess::fileURL("file://" + path.string()));
        ASSERT_TRUE(bytes) << name;
        EXPECT_EQ(bytes->size(), 65536u);
    }
}

TEST(FirmwareImageOf, FirstSixtyFourOrHundredTwentyEightKiB) {
    for (const auto& [size, image] : std::vector<std::pair<size_t, std::optional<size_t>>>{{65535, std::nullopt},
                                                                                           {65536, 65536},
                                                                                           {65537, 65536},
                                                                                           {66559, 65536},
                                                                                           {66560, std::nullopt},
                                                                                           {131071, std::nullopt},
                                                                                           {131072, 131072},
                                                                                           {131073, 131072},
                                                                                           {132095, 131072},
                                                                                           {132096, std::nullopt},
                                                                                           {0, std::nullopt}}) {
        const std::vector<uint8_t> file(size, 0x5A);
        const auto got = FileAccess::FirmwareImageOf(file);
        ASSERT_EQ(got.has_value(), image.has_value()) << size;
        if (got) {
            EXPECT_EQ(got->size(), *image) << size;
            EXPECT_EQ(got->data(), file.data()) << size;
        }
    }
}

// Names are bytes: each one is stored as a UTF-8 text that a preference
// store keeps, and reads back to the same bytes.
TEST_F(FileAccessFiles, NamesThatAreNotUtf8) {
    ScopedEnv env("XDG_CONFIG_HOME", (dir / "config").string());
    struct Case {
        std::string name;
        std::optional<std::string> stored;
    };
    const std::vector<Case> cases = {
        {"lat\xE9in.bin", "lat%E9in.bin"},
        {"\xFF%41 100%.bin", "%FF%2541 100%25.bin"},  // its '%' escaped too
        {"cut \xC3.bin", "cut %C3.bin"},              // a sequence cut short
        {"surrogate \xED\xA0\x80.bin", "surrogate %ED%A0%80.bin"},
        {"overlong \xC0\xAF.bin", "overlong %C0%AF.bin"},
        {"caf\xC3\xA9 100%25.bin", std::nullopt},  // UTF-8: as it is
        {"lit%E9ral.bin", std::nullopt},           // UTF-8 that reads like an escape
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored.value_or(c.name));
        const std::string path = (dir / c.name).string();
        writeFile(path, firmwareImage(65536, "VRE1", "ZK6121 v"));
        const std::string text = FileAccess::fileURLText(path);
        EXPECT_EQ(text, "file://" + (c.stored ? (dir.path().string() + "/" + *c.stored) : path));
        {
            QtPreferences store("NamesTest");
            store.setString("userSelectedPath", text);
            store.sync();
        }
        const auto back = QtPreferences("NamesTest").string("userSelectedPath");
        ASSERT_EQ(back, text);
        EXPECT_EQ(FileAccess::localPath(FileAccess::fileURL(*back)), path);
        const auto bytes = FileAccess::GetBinaryFile(FileAccess::fileURL(*back));
        ASSERT_TRUE(bytes);
        EXPECT_EQ(bytes->size(), 65536u);
        chooseFirmware(path);
        prefs->setString("userSelectedPath", text);
        EXPECT_EQ(files.GetChipSignature(), "VRE1");
    }
}

// A file dialog shows such names with U+FFFD; the chosen name is found again.
TEST_F(FileAccessFiles, ShownNamesFindTheirFile) {
    const std::string folder = (dir / "d\xFCr").string();
    writeFile(folder + "/lat\xE9in.bin", {1});
    writeFile(folder + "/twin\xE8.bin", {1});
    writeFile(folder + "/twin\xE9.bin", {1});
    writeFile(folder + "/plain.bin", {1});
    const auto shown = [](const std::string& bytes) { return QFile::decodeName(QByteArray::fromStdString(bytes)); };
    EXPECT_EQ(FileAccess::localPathOf(shown(folder + "/lat\xE9in.bin")), folder + "/lat\xE9in.bin");
    EXPECT_EQ(FileAccess::localPathOf(shown(folder + "/plain.bin")), folder + "/plain.bin");
    // Two names shown alike: neither is taken for the other.
    EXPECT_FALSE(std::filesystem::exists(FileAccess::localPathOf(shown(folder + "/twin\xE9.bin"))));
}

TEST_F(FileAccessFiles, OnlySaneRegularFilesAreRead) {
    const auto fifo = dir / "pipe.bin";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(FileAccess::GetBinaryFile(QUrl::fromLocalFile(QString::fromStdString(fifo.string()))));
    EXPECT_FALSE(FileAccess::GetBinaryFile(QUrl::fromLocalFile(QString::fromStdString(dir.path().string()))));
    EXPECT_FALSE(FileAccess::GetBinaryFile(QUrl::fromLocalFile("/dev/zero")));
    const auto huge = dir / "huge.bin";
    writeFile(huge, {});
    std::filesystem::resize_file(huge, FileAccess::maxFileSize + 1);  // sparse
    EXPECT_FALSE(FileAccess::GetBinaryFile(QUrl::fromLocalFile(QString::fromStdString(huge.string()))));
    EXPECT_FALSE(FileAccess::GetBinaryFile(QUrl("http://example.invalid/fw.bin")));
    const auto empty = dir / "empty.bin";
    writeFile(empty, {});
    auto bytes = FileAccess::GetBinaryFile(QUrl::fromLocalFile(QString::fromStdString(empty.string())));
    ASSERT_TRUE(bytes);
    EXPECT_TRUE(bytes->empty());
    // Through a symbolic link the target is read.
    writeFile(dir / "target.bin", {1, 2, 3});
    std::filesystem::create_symlink(dir / "target.bin", dir / "link.bin");
    bytes = FileAccess::GetBinaryFile(FileAccess::fileURL("file://" + (dir / "link.bin").string()));
    ASSERT_TRUE(bytes);
    EXPECT_EQ(*bytes, (std::vector<uint8_t>{1, 2, 3}));
}

TEST_F(FileAccessFiles, LoaderSignatureAndVersion) {
    const auto path = dir / "ISP dir" / "loader.bin";
    writeFile(path, loaderImage("UsbFlT2 v10.3"));
    prefs->setString("ISPFilePath", path.string());
    EXPECT_EQ(files.GetISPSignature(), "eISP");

    writeFile(path, loaderImage("UsbFlV v01.2", "eISP", 4095));
    EXPECT_EQ(files.GetISPSignature(), "The ISP file is Not Correct.");
    writeFile(path, loaderImage("UsbFlV v01.2", "eISP", 4097));
    EXPECT_EQ(files.GetISPSignature(), "The ISP file is Not Correct.");
    std::filesystem::remove(path);
    EXPECT_EQ(files.GetISPSignature(), "The ISP file cannot be accessed!");
    prefs->remove("ISPFilePath");
    EXPECT_EQ(files.GetISPSignature(), "The ISP file cannot be accessed!");

    const auto text = [](const std::vector<uint8_t>& b) { return SourceModel::BackData(b); };
    EXPECT_EQ(files.GetISPVersion(text(loaderImage("UsbFlT2 v10.3"))), "UsbFlT2 v10.3");
    EXPECT_EQ(files.GetISPVersion(text(loaderImage("UsbFlS v01x7"))), "UsbFlS v01x7");
    EXPECT_EQ(files.GetISPVersion(text(loaderImage("UsbFlv v01.2"))), "NoVersionInfo");
    EXPECT_EQ(files.GetISPVersion("UsbFlV v01.2 and no NUL"), "NoVersionInfo");
}

TEST_F(FileAccessFiles, LoaderChoiceByChip) {
    const auto data = dir / "share with blank";
    ScopedEnv env("QUORVEL_DATA_DIR", data.string());
    const std::vector<std::pair<int64_t, std::string>> cases = {
        {0, "ISP_USB_TS.bin"},   {160, "ISP_USB_TS2.bin"}, {1, "ISP_USB_SK.bin"},   {3, "ISP_USB_SK.bin"},
        {4, "ISP_USB_SK.bin"},   {161, "ISP_USB_VB.bin"},  {163, "ISP_USB_VB.bin"}, {167, "ISP_USB_VB.bin"},
        {168, "ISP_USB_VB.bin"}, {2, "ISP_USB_VB.bin"},    {-1, "ISP_USB_VB.bin"},
    };
    for (const auto& [chip, file] : cases) {
        const std::string expected = (data / "ISP_USB" / file).string();
        EXPECT_EQ(files.USBGetCLIISPFilePath(chip), "file://" + expected) << chip;
        EXPECT_EQ(prefs->string("ISPFilePath"), expected);
        testing::internal::CaptureStdout();
        EXPECT_EQ(files.USBGetISPFilePath(chip), "file://" + expected) << chip;
        const std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_EQ(printed, chip == 0 ? "ISP_USB_TS\n" : chip == 160 ? "ISP_USB_TS2\n" : "") << chip;
    }
    const std::string aux = (data / "ISP_AUX" / "ISP_AUX.bin").string();
    EXPECT_EQ(files.AUXGetISPFilePath(), "file://" + aux);
    EXPECT_EQ(prefs->string("ISPFilePath"), aux);

    // The stored path leads GetISPSignature to the loader.
    writeFile(aux, loaderImage("UsbFlV v01.2"));
    EXPECT_EQ(files.GetISPSignature(), "eISP");
}

TEST(DataFolder, EnvironmentElseBesideTheExecutable) {
    {
        ScopedEnv env("QUORVEL_DATA_DIR", "/opt/q data/");
        EXPECT_EQ(std::filesystem::path(dataFolder()), std::filesystem::path("/opt/q data/"));
    }
    ScopedEnv env("QUORVEL_DATA_DIR", "");
    const auto exeDir = std::filesystem::path(executablePath()).parent_path();
    EXPECT_EQ(dataFolder(), (exeDir.parent_path() / "share" / "quorvel").string());
}

TEST(QtPreferences, StoresUnderXdgConfigHome) {
    TempDir dir;
    ScopedEnv env("XDG_CONFIG_HOME", dir.path().string());
    {
        QtPreferences prefs("PrefsTest");
        prefs.setString("userSelectedPath", "file:///tmp/a b#c.bin");
        prefs.sync();
        EXPECT_EQ(prefs.string("userSelectedPath"), "file:///tmp/a b#c.bin");
        EXPECT_EQ(prefs.string("missing"), std::nullopt);
    }
    EXPECT_TRUE(std::filesystem::exists(dir / "Quorvel/PrefsTest.conf"));
    QtPreferences again("PrefsTest");
    EXPECT_EQ(again.string("userSelectedPath"), "file:///tmp/a b#c.bin");
    again.remove("userSelectedPath");
    EXPECT_EQ(again.string("userSelectedPath"), std::nullopt);
}

}  // namespace
