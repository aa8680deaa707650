// The default configuration files, checked byte for byte against texts
// assembled here from their tables.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <map>
#include <string>
#include <vector>

#include "config/DefaultConfig.h"
#include "tests/fakes/WorkDir.h"

using namespace Norvane;
using sim::fileExists;
using sim::readWholeFile;
using sim::writeWholeFile;

namespace {

std::string join(const std::vector<std::string>& lines) {
    std::string s;
    for (size_t i = 0; i < lines.size(); ++i) s += (i ? "\n" : "") + lines[i];
    return s;
}

std::string expectedAlgorithm() {
    return join({"[DenoisingParams]", "TDenoiseLevel_Depth=3", "SDenoiseLevel_Depth=3", "TDenoiseMethod_Depth=1",
                 "SDenoiseMethod_Depth=1", "TDenoiseLevel_Gray=1", "SDenoiseLevel_Gray=1", "TDenoiseMethod_Gray=1",
                 "SDenoiseMethod_Gray=1", "", "[RepairParams]", "ERDOLvl=3", "", "[ConfidenceParams]", "ValidDistMin=0",
                 "ValidDistMax=7000"}) +
           "\n";
}

std::string expectedRegister() {
    std::vector<std::string> lines = {"[SENSOR]"};
    for (const char* l :
         {"0x0C28=0x00000000", "0x0C02=0x00011410", "0x0224=0x00000001", "0x0C07=0x0800108A", "0x0C20=0x14000000",
          "0x0432=0x0d6649A6", "0x0721=0x0000000F", "0x072B=0x13271313", "0x0C01=0x00000053", "0x0C04=0x00000002",
          "0x0437=0x04285602", "0x0408=0x80000255", "0x0AB4=0x00000303", "0x0435=0x0000007f", "0x0C06=0x00641203",
          "0x0482=0x08384100", "0x0487=0x08384100", "0x048C=0x08384100", "0x0491=0x08384100", "0x0402=0x01600A00",
          "0x0475=0x00000064", "0x0476=0x000003E8", "0x0434=0x11190720", "0x0429=0x00989680"})
        lines.push_back(l);
    lines.push_back("");
    for (const char* l : {"0x0722=0x00072020", "0x0725=0x00202003", "0x0708=0x10130002", "0x0709=0x01940201",
                          "0x070a=0x01019201", "0x070b=0x9a0101a4", "0x070c=0x019b0101", "0x070D=0x00009c01"})
        lines.push_back(l);
    lines.push_back("");
    lines.push_back("[VDRIVER]");
    for (const char* l : {"0x00=0x10", "0x01=0x7a", "0x02=0xca", "0x03=0x22", "0x04=0x14", "0x05=0x42", "0x06=0x9a",
                          "0x07=0x42", "0x08=0xca", "0x09=0x07", "0x0a=0x06", "0x0b=0xd5", "0x0c=0x28", "0x0d=0x90",
                          "0x0e=0xd0", "0x0F=0xd3", "0x10=0x0c", "0x11=0x00", "0x12=0x01", "0x13=0x11", "0x23=0x04",
                          "0x24=0xE0", "0x25=0x00", "0x26=0x0a", "0x27=0x01", "0x28=0x00", "0x29=0x05", "0x2b=0xf1",
                          "0x2c=0xc8", "0x2d=0x03", "0x2e=0x01", "0x2f=0xe0", "0x30=0xff", "0x31=0x00", "0x32=0x00"})
        lines.push_back(l);
    return join(lines);
}

// The seven frame-mode sections share one key order; values come from the
// common settings or the per-section table, comments from their own table.
std::string expectedCamera() {
    const std::vector<std::string> sections = {
        "Signle-4PHASE", "Signle-4PHASE_GRAY", "Double-4PHASE_4PHASE",    "Double-4PHASE_GRAY_4PHASE_BG",
        "Gray-Only",     "BGOUTDOOR",          "Signal-BG-GRAY-BG-4PHASE"};
    std::map<std::string, std::string> common = {{"SubFrameModes3", "0"},
                                                 {"SpecialFrameModes3", "0"},
                                                 {"SpecBgMode", "0"},
                                                 {"FrameSeqSchedule0", "0"},
                                                 {"FrameSeqSchedule1", "1"},
                                                 {"FrameSeqSchedule2", "2"},
                                                 {"FrameSeqSchedule3", "3"},
                                                 {"Frame0_5To8IntTime", "0"},
                                                 {"Frame1_5To8IntTime", "0"},
                                                 {"Frame2_1To4IntTime", "0"},
                                                 {"Frame2_5To8IntTime", "0"},
                                                 {"Frame3_5To8IntTime", "0"},
                                                 {"Frame3_SpecialIntTime", "0"},
                                                 {"Frame0_5To8PhaseDiv", "2"},
                                                 {"Frame0_SpecialPhaseDiv", "24"},
                                                 {"Frame1_5To8PhaseDiv", "2"},
                                                 {"Frame1_SpecialPhaseDiv", "24"},
                                                 {"Frame2_1To4PhaseDiv", "2"},
                                                 {"Frame2_5To8PhaseDiv", "2"},
                                                 {"Frame2_SpecialPhaseDiv", "24"},
                                                 {"Frame3_5To8PhaseDiv", "2"},
                                                 {"Frame3_SpecialPhaseDiv", "24"},
                                                 {"NumSubFramePerFrame0", "1"},
                                                 {"MirrorMode", "0"},
                                                 {"PhaseMode", "0"},
                                                 {"EnableLedMod", "1"},
                                                 {"SeqNumPerDepthMap", "1"},
                                                 {"SeqRepeatMode", "1"},
                                                 {"TriggerMode", "1"},
                                                 {"SlaveTrigOnPosLevel", "0"},
                                                 {"TSensorMode", "1"},
                                                 {"performClkChanges", "0"}};
    std::map<std::string, std::vector<std::string>> perSection = {
        {"WorkMode", {"0", "0", "1", "1", "8", "7", "0"}},
        {"SubWorkMode", {"1", "2", "10", "11", "19", "18", "8"}},
        {"SubFrameModes0", {"0", "5", "0", "5", "4", "4", "4"}},
        {"SubFrameModes1", {"0", "0", "0", "5", "0", "0", "4"}},
        {"SubFrameModes2", {"0", "0", "0", "0", "0", "0", "4"}},
        {"SpecialFrameModes0", {"0", "1", "0", "1", "1", "2", "2"}},
        {"SpecialFrameModes1", {"0", "0", "0", "2", "0", "0", "1"}},
        {"SpecialFrameModes2", {"0", "0", "0", "0", "0", "0", "2"}},
        {"Frame0_1To4IntTime", {"1000000", "1000000", "1000000", "1000000", "0", "0", "0"}},
        {"Frame0_SpecialIntTime", {"0", "1000000", "0", "1000000", "1000000", "1000000", "1000000"}},
        {"Frame1_1To4IntTime", {"0", "0", "1000000", "1000000", "0", "0", "0"}},
        {"Frame1_SpecialIntTime", {"0", "0", "0", "1000000", "0", "0", "1000000"}},
        {"Frame2_SpecialIntTime", {"0", "0", "0", "0", "0", "0", "1000000"}},
        {"Frame3_1To4IntTime", {"0", "0", "0", "0", "0", "0", "1000000"}},
        {"Frame0_1To4PhaseDiv", {"4", "4", "4", "4", "2", "2", "2"}},
        {"Frame1_1To4PhaseDiv", {"2", "2", "24", "24", "2", "2", "2"}},
        {"Frame3_1To4PhaseDiv", {"2", "2", "2", "2", "2", "2", "4"}},
        {"NumSubFramePerFrame1", {"0", "0", "1", "1", "0", "0", "1"}},
        {"NumSubFramePerFrame2", {"0", "0", "0", "0", "0", "0", "1"}},
        {"NumSubFramePerFrame3", {"0", "0", "0", "0", "0", "0", "1"}},
        {"MIPI_FS_FE_Pos", {"0", "0", "0", "0", "0", "0", "3"}}};
    const std::vector<std::vector<std::string>> comments = {
        {"//SubFrameModes0={0,0,0,0}", "//SpecialFrameModes={0,0,0,0}", "//FrameSeqSchedule={0,1,2,3}",
         "//IntegrationTimes={{1000000,0,0},{0,0,0},{0,0,0},{0,0,0}}",
         "//PLLDLLDivs={{4,2,24},{2,2,24},{2,2,24},{2,2,24}}", "//NumSubFramePerFrame={1,0,0,0}"},
        {"//SubFrameModes0={5,0,0,0}", "//SpecialFrameModes={1,0,0,0}", "//FrameSeqSchedule={0,1,2,3}",
         "//IntegrationTimes={{1000000,0,1000000},{0,0,0},{0,0,0},{0,0,0}}",
         "//PLLDLLDivs={{4,2,24},{2,2,24},{2,2,24},{2,2,24}}", "//NumSubFramePerFrame={1,0,0,0}"},
        {"//SubFrameModes0={0,0,0,0}", "//SpecialFrameModes={0,0,0,0}", "//FrameSeqSchedule={0,1,2,3}",
         "//IntegrationTimes={{1000000,0,0},{1000000,0,0},{0,0,0},{0,0,0}}",
         "//PLLDLLDivs={{5,2,24},{2,2,24},{2,2,24},{2,2,24}}", "//NumSubFramePerFrame={1,1,0,0}"},
        {"//SubFrameModes0={5,5,0,0}", "//SpecialFrameModes={1,2,0,0}", "//FrameSeqSchedule={0,1,2,3}",
         "//IntegrationTimes={{1000000,0,1000000},{1000000,0,1000000},{0,0,0},{0,0,0}}",
         "//PLLDLLDivs={{4,2,24},{24,2,24},{2,2,24},{2,2,24}}", "//NumSubFramePerFrame={1,1,0,0}"},
        {"//SubFrameModes0={4,0,0,0}", "//SpecialFrameModes={0,0,0,0}", "//FrameSeqSchedule={0,1,2,3}",
         "//IntegrationTimes={{0,0,1000000},{0,0,0},{0,0,0},{0,0,0}}",
         "//PLLDLLDivs={{2,2,24},{2,2,24},{2,2,24},{2,2,24}}", "//NumSubFramePerFrame={1,0,0,0}"},
        {"//SubFrameModes0={4,0,0,0}", "//SpecialFrameModes={0,0,0,0}", "//FrameSeqSchedule={0,1,2,3}",
         "//IntegrationTimes={{0,0,1000000},{0,0,0},{0,0,0},{0,0,0}}",
         "//PLLDLLDivs={{2,2,24},{2,2,24},{2,2,24},{2,2,24}}", "//NumSubFramePerFrame={1,0,0,0}"},
        {"//SubFrameModes0={4,4,4,0}", "//SpecialFrameModes={0,0,0,0}", "//FrameSeqSchedule={0,1,2,3}",
         "//IntegrationTimes={{0,0,1000000},{0,0,1000000},{0,0,1000000},{1000000,0,0}}",
         "//PLLDLLDivs={{2,2,24},{2,2,24},{2,2,24},{2,2,24}}", "//NumSubFramePerFrame={1,0,0,0}"}};

    std::vector<std::string> order = {"WorkMode", "SubWorkMode", "#0"};
    for (int i = 0; i < 4; ++i) order.push_back("SubFrameModes" + std::to_string(i));
    order.push_back("#1");
    for (int i = 0; i < 4; ++i) order.push_back("SpecialFrameModes" + std::to_string(i));
    order.push_back("SpecBgMode");
    order.push_back("#2");
    for (int i = 0; i < 4; ++i) order.push_back("FrameSeqSchedule" + std::to_string(i));
    order.push_back("#3");
    for (int f = 0; f < 4; ++f)
        for (const char* k : {"_1To4IntTime", "_5To8IntTime", "_SpecialIntTime"})
            order.push_back("Frame" + std::to_string(f) + k);
    order.push_back("#4");
    for (int f = 0; f < 4; ++f)
        for (const char* k : {"_1To4PhaseDiv", "_5To8PhaseDiv", "_SpecialPhaseDiv"})
            order.push_back("Frame" + std::to_string(f) + k);
    order.push_back("#5");
    for (int i = 0; i < 4; ++i) order.push_back("NumSubFramePerFrame" + std::to_string(i));
    for (const char* k : {"MirrorMode", "PhaseMode", "EnableLedMod", "SeqNumPerDepthMap", "MIPI_FS_FE_Pos",
                          "SeqRepeatMode", "TriggerMode", "SlaveTrigOnPosLevel", "TSensorMode", "performClkChanges"})
        order.push_back(k);
    EXPECT_EQ(order.size(), 59u);
    EXPECT_EQ(common.size() + perSection.size(), 53u);

    std::vector<std::string> lines = {"[VideoInfo]", "sensorType=TOF", "sensorPath=/dev/v4l-subdev2",
                                      "ispPath=/dev/video11", "subIspPath=/dev/v4l-subdev3"};
    for (size_t s = 0; s < sections.size(); ++s) {
        lines.push_back("");
        lines.push_back("[" + sections[s] + "]");
        for (const std::string& key : order) {
            if (key[0] == '#') {
                lines.push_back(comments[s][size_t(key[1] - '0')]);
            } else if (common.count(key)) {
                lines.push_back(key + "=" + common[key]);
            } else {
                EXPECT_TRUE(perSection.count(key)) << key;
                lines.push_back(key + "=" + perSection[key][s]);
            }
        }
    }
    return join(lines);
}

std::string contentOf(const std::string& path) {
    std::string s;
    EXPECT_TRUE(readWholeFile(path, &s)) << path;
    return s;
}

}  // namespace

TEST(DefaultConfig, WritesTheThreeTextsByteForByte) {
    sim::ScopedWorkDir dir;
    ASSERT_TRUE(writeDefaultConfigFiles());

    const std::string algorithm = contentOf(kConfigAlgorithmFile);
    const std::string camera = contentOf(kConfigCameraFile);
    const std::string reg = contentOf(kRegisterFile);
    EXPECT_EQ(algorithm.size(), 273u);
    EXPECT_EQ(camera.size(), 9476u);
    EXPECT_EQ(reg.size(), 946u);
    EXPECT_EQ(algorithm, expectedAlgorithm());
    EXPECT_EQ(camera, expectedCamera());
    EXPECT_EQ(reg, expectedRegister());

    EXPECT_EQ(algorithm.substr(algorithm.size() - 18), "ValidDistMax=7000\n");
    EXPECT_EQ(camera.substr(camera.size() - 19), "performClkChanges=0");
    EXPECT_EQ(reg.substr(reg.size() - 9), "0x32=0x00");
    EXPECT_EQ(std::string(algorithm + camera + reg).find('\r'), std::string::npos);
    EXPECT_EQ(std::string(algorithm + camera + reg).find('\0'), std::string::npos);
}

TEST(DefaultConfig, ReplacesEditedFiles) {
    sim::ScopedWorkDir dir;
    writeWholeFile(kConfigCameraFile, std::string(20000, 'x'));
    writeWholeFile(kConfigAlgorithmFile, "[ConfidenceParams]\nValidDistMax=10\n");
    ASSERT_TRUE(writeDefaultConfigFiles());
    EXPECT_EQ(contentOf(kConfigCameraFile), expectedCamera()) << "a longer file is truncated";
    EXPECT_EQ(contentOf(kConfigAlgorithmFile), expectedAlgorithm());
}

// A directory in a file's place cannot be opened for writing, even by root.
TEST(DefaultConfig, StopsAtTheFirstFileThatCannotBeOpened) {
    {
        sim::ScopedWorkDir dir;
        ASSERT_EQ(mkdir(kConfigAlgorithmFile, 0755), 0);
        EXPECT_FALSE(writeDefaultConfigFiles());
        EXPECT_FALSE(fileExists(kConfigCameraFile));
        EXPECT_FALSE(fileExists(kRegisterFile));
    }
    {
        sim::ScopedWorkDir dir;
        writeWholeFile(kRegisterFile, "mine");
        ASSERT_EQ(mkdir(kConfigCameraFile, 0755), 0);
        EXPECT_FALSE(writeDefaultConfigFiles());
        EXPECT_EQ(contentOf(kConfigAlgorithmFile), expectedAlgorithm());
        EXPECT_EQ(contentOf(kRegisterFile), "mine");
    }
    {
        sim::ScopedWorkDir dir;
        ASSERT_EQ(mkdir(kRegisterFile, 0755), 0);
        EXPECT_FALSE(writeDefaultConfigFiles());
        EXPECT_EQ(contentOf(kConfigCameraFile), expectedCamera());
    }
}

// A FIFO with no reader once held the write open for ever; one with a
// reader would have taken the text. Both are refused at once.
TEST(DefaultConfig, RefusesAFifoInAFilesPlaceWithoutWaiting) {
    for (const char* name : {kConfigAlgorithmFile, kRegisterFile}) {
        SCOPED_TRACE(name);
        sim::ScopedWorkDir dir;
        ASSERT_EQ(mkfifo(name, 0644), 0);
        EXPECT_FALSE(writeDefaultConfigFiles());
        const int reader = open(name, O_RDONLY | O_NONBLOCK);
        ASSERT_GE(reader, 0);
        EXPECT_FALSE(writeDefaultConfigFiles()) << "with a reader";
        char byte;
        EXPECT_EQ(read(reader, &byte, 1), 0) << "nothing was written into the FIFO";
        close(reader);
    }
}

// A full disk: the file size limit stands in for it (writes past it fail
// with EFBIG), so a file cut short makes the whole write fail.
TEST(DefaultConfig, AFileNotWrittenWholeFails) {
    struct Limit {
        rlimit saved{};
        void (*handler)(int) = signal(SIGXFSZ, SIG_IGN);
        explicit Limit(rlim_t bytes) {
            getrlimit(RLIMIT_FSIZE, &saved);
            rlimit cut = saved;
            cut.rlim_cur = bytes;
            setrlimit(RLIMIT_FSIZE, &cut);
        }
        ~Limit() {
            setrlimit(RLIMIT_FSIZE, &saved);
            signal(SIGXFSZ, handler);
        }
    };
    // 100: the 273 bytes of the algorithm file are cut short. 1000: they
    // fit, the 9476 bytes of the camera file do not.
    for (rlim_t bytes : {rlim_t(100), rlim_t(1000)}) {
        SCOPED_TRACE(bytes);
        sim::ScopedWorkDir dir;
        bool written;
        {
            Limit limit(bytes);
            written = writeDefaultConfigFiles();
        }
        EXPECT_FALSE(written);
        EXPECT_FALSE(fileExists(kRegisterFile)) << "stops at the file cut short";
    }
    sim::ScopedWorkDir dir;
    Limit roomy(20000);
    EXPECT_TRUE(writeDefaultConfigFiles());
}
