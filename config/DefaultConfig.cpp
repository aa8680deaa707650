#include "config/DefaultConfig.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace Norvane {

namespace {

// The texts are written as they stand: INI-style despite the extension,
// LF line endings, the misspelled section names included.
constexpr char kConfigAlgorithmText[] = R"text([DenoisingParams]
TDenoiseLevel_Depth=3
SDenoiseLevel_Depth=3
TDenoiseMethod_Depth=1
SDenoiseMethod_Depth=1
TDenoiseLevel_Gray=1
SDenoiseLevel_Gray=1
TDenoiseMethod_Gray=1
SDenoiseMethod_Gray=1

[RepairParams]
ERDOLvl=3

[ConfidenceParams]
ValidDistMin=0
ValidDistMax=7000
)text";

constexpr char kConfigCameraText[] = R"text([VideoInfo]
sensorType=TOF
sensorPath=/dev/v4l-subdev2
ispPath=/dev/video11
subIspPath=/dev/v4l-subdev3

[Signle-4PHASE]
WorkMode=0
SubWorkMode=1
//SubFrameModes0={0,0,0,0}
SubFrameModes0=0
SubFrameModes1=0
SubFrameModes2=0
SubFrameModes3=0
//SpecialFrameModes={0,0,0,0}
SpecialFrameModes0=0
SpecialFrameModes1=0
SpecialFrameModes2=0
SpecialFrameModes3=0
SpecBgMode=0
//FrameSeqSchedule={0,1,2,3}
FrameSeqSchedule0=0
FrameSeqSchedule1=1
FrameSeqSchedule2=2
FrameSeqSchedule3=3
//IntegrationTimes={{1000000,0,0},{0,0,0},{0,0,0},{0,0,0}}
Frame0_1To4IntTime=1000000
Frame0_5To8IntTime=0
Frame0_SpecialIntTime=0
Frame1_1To4IntTime=0
Frame1_5To8IntTime=0
Frame1_SpecialIntTime=0
Frame2_1To4IntTime=0
Frame2_5To8IntTime=0
Frame2_SpecialIntTime=0
Frame3_1To4IntTime=0
Frame3_5To8IntTime=0
Frame3_SpecialIntTime=0
//PLLDLLDivs={{4,2,24},{2,2,24},{2,2,24},{2,2,24}}
Frame0_1To4PhaseDiv=4
Frame0_5To8PhaseDiv=2
Frame0_SpecialPhaseDiv=24
Frame1_1To4PhaseDiv=2
Frame1_5To8PhaseDiv=2
Frame1_SpecialPhaseDiv=24
Frame2_1To4PhaseDiv=2
Frame2_5To8PhaseDiv=2
Frame2_SpecialPhaseDiv=24
Frame3_1To4PhaseDiv=2
Frame3_5To8PhaseDiv=2
Frame3_SpecialPhaseDiv=24
//NumSubFramePerFrame={1,0,0,0}
NumSubFramePerFrame0=1
NumSubFramePerFrame1=0
NumSubFramePerFrame2=0
NumSubFramePerFrame3=0
MirrorMode=0
PhaseMode=0
EnableLedMod=1
SeqNumPerDepthMap=1
MIPI_FS_FE_Pos=0
SeqRepeatMode=1
TriggerMode=1
SlaveTrigOnPosLevel=0
TSensorMode=1
performClkChanges=0

[Signle-4PHASE_GRAY]
WorkMode=0
SubWorkMode=2
//SubFrameModes0={5,0,0,0}
SubFrameModes0=5
SubFrameModes1=0
SubFrameModes2=0
SubFrameModes3=0
//SpecialFrameModes={1,0,0,0}
SpecialFrameModes0=1
SpecialFrameModes1=0
SpecialFrameModes2=0
SpecialFrameModes3=0
SpecBgMode=0
//FrameSeqSchedule={0,1,2,3}
FrameSeqSchedule0=0
FrameSeqSchedule1=1
FrameSeqSchedule2=2
FrameSeqSchedule3=3
//IntegrationTimes={{1000000,0,1000000},{0,0,0},{0,0,0},{0,0,0}}
Frame0_1To4IntTime=1000000
Frame0_5To8IntTime=0
Frame0_SpecialIntTime=1000000
Frame1_1To4IntTime=0
Frame1_5To8IntTime=0
Frame1_SpecialIntTime=0
Frame2_1To4IntTime=0
Frame2_5To8IntTime=0
Frame2_SpecialIntTime=0
Frame3_1To4IntTime=0
Frame3_5To8IntTime=0
Frame3_SpecialIntTime=0
//PLLDLLDivs={{4,2,24},{2,2,24},{2,2,24},{2,2,24}}
Frame0_1To4PhaseDiv=4
Frame0_5To8PhaseDiv=2
Frame0_SpecialPhaseDiv=24
Frame1_1To4PhaseDiv=2
Frame1_5To8PhaseDiv=2
Frame1_SpecialPhaseDiv=24
Frame2_1To4PhaseDiv=2
Frame2_5To8PhaseDiv=2
Frame2_SpecialPhaseDiv=24
Frame3_1To4PhaseDiv=2
Frame3_5To8PhaseDiv=2
Frame3_SpecialPhaseDiv=24
//NumSubFramePerFrame={1,0,0,0}
NumSubFramePerFrame0=1
NumSubFramePerFrame1=0
NumSubFramePerFrame2=0
NumSubFramePerFrame3=0
MirrorMode=0
PhaseMode=0
EnableLedMod=1
SeqNumPerDepthMap=1
MIPI_FS_FE_Pos=0
SeqRepeatMode=1
TriggerMode=1
SlaveTrigOnPosLevel=0
TSensorMode=1
performClkChanges=0

[Double-4PHASE_4PHASE]
WorkMode=1
SubWorkMode=10
//SubFrameModes0={0,0,0,0}
SubFrameModes0=0
SubFrameModes1=0
SubFrameModes2=0
SubFrameModes3=0
//SpecialFrameModes={0,0,0,0}
SpecialFrameModes0=0
SpecialFrameModes1=0
SpecialFrameModes2=0
SpecialFrameModes3=0
SpecBgMode=0
//FrameSeqSchedule={0,1,2,3}
FrameSeqSchedule0=0
FrameSeqSchedule1=1
FrameSeqSchedule2=2
FrameSeqSchedule3=3
//IntegrationTimes={{1000000,0,0},{1000000,0,0},{0,0,0},{0,0,0}}
Frame0_1To4IntTime=1000000
Frame0_5To8IntTime=0
Frame0_SpecialIntTime=0
Frame1_1To4IntTime=1000000
Frame1_5To8IntTime=0
Frame1_SpecialIntTime=0
Frame2_1To4IntTime=0
Frame2_5To8IntTime=0
Frame2_SpecialIntTime=0
Frame3_1To4IntTime=0
Frame3_5To8IntTime=0
Frame3_SpecialIntTime=0
//PLLDLLDivs={{5,2,24},{2,2,24},{2,2,24},{2,2,24}}
Frame0_1To4PhaseDiv=4
Frame0_5To8PhaseDiv=2
Frame0_SpecialPhaseDiv=24
Frame1_1To4PhaseDiv=24
Frame1_5To8PhaseDiv=2
Frame1_SpecialPhaseDiv=24
Frame2_1To4PhaseDiv=2
Frame2_5To8PhaseDiv=2
Frame2_SpecialPhaseDiv=24
Frame3_1To4PhaseDiv=2
Frame3_5To8PhaseDiv=2
Frame3_SpecialPhaseDiv=24
//NumSubFramePerFrame={1,1,0,0}
NumSubFramePerFrame0=1
NumSubFramePerFrame1=1
NumSubFramePerFrame2=0
NumSubFramePerFrame3=0
MirrorMode=0
PhaseMode=0
EnableLedMod=1
SeqNumPerDepthMap=1
MIPI_FS_FE_Pos=0
SeqRepeatMode=1
TriggerMode=1
SlaveTrigOnPosLevel=0
TSensorMode=1
performClkChanges=0

[Double-4PHASE_GRAY_4PHASE_BG]
WorkMode=1
SubWorkMode=11
//SubFrameModes0={5,5,0,0}
SubFrameModes0=5
SubFrameModes1=5
SubFrameModes2=0
SubFrameModes3=0
//SpecialFrameModes={1,2,0,0}
SpecialFrameModes0=1
SpecialFrameModes1=2
SpecialFrameModes2=0
SpecialFrameModes3=0
SpecBgMode=0
//FrameSeqSchedule={0,1,2,3}
FrameSeqSchedule0=0
FrameSeqSchedule1=1
FrameSeqSchedule2=2
FrameSeqSchedule3=3
//IntegrationTimes={{1000000,0,1000000},{1000000,0,1000000},{0,0,0},{0,0,0}}
Frame0_1To4IntTime=1000000
Frame0_5To8IntTime=0
Frame0_SpecialIntTime=1000000
Frame1_1To4IntTime=1000000
Frame1_5To8IntTime=0
Frame1_SpecialIntTime=1000000
Frame2_1To4IntTime=0
Frame2_5To8IntTime=0
Frame2_SpecialIntTime=0
Frame3_1To4IntTime=0
Frame3_5To8IntTime=0
Frame3_SpecialIntTime=0
//PLLDLLDivs={{4,2,24},{24,2,24},{2,2,24},{2,2,24}}
Frame0_1To4PhaseDiv=4
Frame0_5To8PhaseDiv=2
Frame0_SpecialPhaseDiv=24
Frame1_1To4PhaseDiv=24
Frame1_5To8PhaseDiv=2
Frame1_SpecialPhaseDiv=24
Frame2_1To4PhaseDiv=2
Frame2_5To8PhaseDiv=2
Frame2_SpecialPhaseDiv=24
Frame3_1To4PhaseDiv=2
Frame3_5To8PhaseDiv=2
Frame3_SpecialPhaseDiv=24
//NumSubFramePerFrame={1,1,0,0}
NumSubFramePerFrame0=1
NumSubFramePerFrame1=1
NumSubFramePerFrame2=0
NumSubFramePerFrame3=0
MirrorMode=0
PhaseMode=0
EnableLedMod=1
SeqNumPerDepthMap=1
MIPI_FS_FE_Pos=0
SeqRepeatMode=1
TriggerMode=1
SlaveTrigOnPosLevel=0
TSensorMode=1
performClkChanges=0

[Gray-Only]
WorkMode=8
SubWorkMode=19
//SubFrameModes0={4,0,0,0}
SubFrameModes0=4
SubFrameModes1=0
SubFrameModes2=0
SubFrameModes3=0
//SpecialFrameModes={0,0,0,0}
SpecialFrameModes0=1
SpecialFrameModes1=0
SpecialFrameModes2=0
SpecialFrameModes3=0
SpecBgMode=0
//FrameSeqSchedule={0,1,2,3}
FrameSeqSchedule0=0
FrameSeqSchedule1=1
FrameSeqSchedule2=2
FrameSeqSchedule3=3
//IntegrationTimes={{0,0,1000000},{0,0,0},{0,0,0},{0,0,0}}
Frame0_1To4IntTime=0
Frame0_5To8IntTime=0
Frame0_SpecialIntTime=1000000
Frame1_1To4IntTime=0
Frame1_5To8IntTime=0
Frame1_SpecialIntTime=0
Frame2_1To4IntTime=0
Frame2_5To8IntTime=0
Frame2_SpecialIntTime=0
Frame3_1To4IntTime=0
Frame3_5To8IntTime=0
Frame3_SpecialIntTime=0
//PLLDLLDivs={{2,2,24},{2,2,24},{2,2,24},{2,2,24}}
Frame0_1To4PhaseDiv=2
Frame0_5To8PhaseDiv=2
Frame0_SpecialPhaseDiv=24
Frame1_1To4PhaseDiv=2
Frame1_5To8PhaseDiv=2
Frame1_SpecialPhaseDiv=24
Frame2_1To4PhaseDiv=2
Frame2_5To8PhaseDiv=2
Frame2_SpecialPhaseDiv=24
Frame3_1To4PhaseDiv=2
Frame3_5To8PhaseDiv=2
Frame3_SpecialPhaseDiv=24
//NumSubFramePerFrame={1,0,0,0}
NumSubFramePerFrame0=1
NumSubFramePerFrame1=0
NumSubFramePerFrame2=0
NumSubFramePerFrame3=0
MirrorMode=0
PhaseMode=0
EnableLedMod=1
SeqNumPerDepthMap=1
MIPI_FS_FE_Pos=0
SeqRepeatMode=1
TriggerMode=1
SlaveTrigOnPosLevel=0
TSensorMode=1
performClkChanges=0

[BGOUTDOOR]
WorkMode=7
SubWorkMode=18
//SubFrameModes0={4,0,0,0}
SubFrameModes0=4
SubFrameModes1=0
SubFrameModes2=0
SubFrameModes3=0
//SpecialFrameModes={0,0,0,0}
SpecialFrameModes0=2
SpecialFrameModes1=0
SpecialFrameModes2=0
SpecialFrameModes3=0
SpecBgMode=0
//FrameSeqSchedule={0,1,2,3}
FrameSeqSchedule0=0
FrameSeqSchedule1=1
FrameSeqSchedule2=2
FrameSeqSchedule3=3
//IntegrationTimes={{0,0,1000000},{0,0,0},{0,0,0},{0,0,0}}
Frame0_1To4IntTime=0
Frame0_5To8IntTime=0
Frame0_SpecialIntTime=1000000
Frame1_1To4IntTime=0
Frame1_5To8IntTime=0
Frame1_SpecialIntTime=0
Frame2_1To4IntTime=0
Frame2_5To8IntTime=0
Frame2_SpecialIntTime=0
Frame3_1To4IntTime=0
Frame3_5To8IntTime=0
Frame3_SpecialIntTime=0
//PLLDLLDivs={{2,2,24},{2,2,24},{2,2,24},{2,2,24}}
Frame0_1To4PhaseDiv=2
Frame0_5To8PhaseDiv=2
Frame0_SpecialPhaseDiv=24
Frame1_1To4PhaseDiv=2
Frame1_5To8PhaseDiv=2
Frame1_SpecialPhaseDiv=24
Frame2_1To4PhaseDiv=2
Frame2_5To8PhaseDiv=2
Frame2_SpecialPhaseDiv=24
Frame3_1To4PhaseDiv=2
Frame3_5To8PhaseDiv=2
Frame3_SpecialPhaseDiv=24
//NumSubFramePerFrame={1,0,0,0}
NumSubFramePerFrame0=1
NumSubFramePerFrame1=0
NumSubFramePerFrame2=0
NumSubFramePerFrame3=0
MirrorMode=0
PhaseMode=0
EnableLedMod=1
SeqNumPerDepthMap=1
MIPI_FS_FE_Pos=0
SeqRepeatMode=1
TriggerMode=1
SlaveTrigOnPosLevel=0
TSensorMode=1
performClkChanges=0

[Signal-BG-GRAY-BG-4PHASE]
WorkMode=0
SubWorkMode=8
//SubFrameModes0={4,4,4,0}
SubFrameModes0=4
SubFrameModes1=4
SubFrameModes2=4
SubFrameModes3=0
//SpecialFrameModes={0,0,0,0}
SpecialFrameModes0=2
SpecialFrameModes1=1
SpecialFrameModes2=2
SpecialFrameModes3=0
SpecBgMode=0
//FrameSeqSchedule={0,1,2,3}
FrameSeqSchedule0=0
FrameSeqSchedule1=1
FrameSeqSchedule2=2
FrameSeqSchedule3=3
//IntegrationTimes={{0,0,1000000},{0,0,1000000},{0,0,1000000},{1000000,0,0}}
Frame0_1To4IntTime=0
Frame0_5To8IntTime=0
Frame0_SpecialIntTime=1000000
Frame1_1To4IntTime=0
Frame1_5To8IntTime=0
Frame1_SpecialIntTime=1000000
Frame2_1To4IntTime=0
Frame2_5To8IntTime=0
Frame2_SpecialIntTime=1000000
Frame3_1To4IntTime=1000000
Frame3_5To8IntTime=0
Frame3_SpecialIntTime=0
//PLLDLLDivs={{2,2,24},{2,2,24},{2,2,24},{2,2,24}}
Frame0_1To4PhaseDiv=2
Frame0_5To8PhaseDiv=2
Frame0_SpecialPhaseDiv=24
Frame1_1To4PhaseDiv=2
Frame1_5To8PhaseDiv=2
Frame1_SpecialPhaseDiv=24
Frame2_1To4PhaseDiv=2
Frame2_5To8PhaseDiv=2
Frame2_SpecialPhaseDiv=24
Frame3_1To4PhaseDiv=4
Frame3_5To8PhaseDiv=2
Frame3_SpecialPhaseDiv=24
//NumSubFramePerFrame={1,0,0,0}
NumSubFramePerFrame0=1
NumSubFramePerFrame1=1
NumSubFramePerFrame2=1
NumSubFramePerFrame3=1
MirrorMode=0
PhaseMode=0
EnableLedMod=1
SeqNumPerDepthMap=1
MIPI_FS_FE_Pos=3
SeqRepeatMode=1
TriggerMode=1
SlaveTrigOnPosLevel=0
TSensorMode=1
performClkChanges=0)text";

constexpr char kRegisterText[] = R"text([SENSOR]
0x0C28=0x00000000
0x0C02=0x00011410
0x0224=0x00000001
0x0C07=0x0800108A
0x0C20=0x14000000
0x0432=0x0d6649A6
0x0721=0x0000000F
0x072B=0x13271313
0x0C01=0x00000053
0x0C04=0x00000002
0x0437=0x04285602
0x0408=0x80000255
0x0AB4=0x00000303
0x0435=0x0000007f
0x0C06=0x00641203
0x0482=0x08384100
0x0487=0x08384100
0x048C=0x08384100
0x0491=0x08384100
0x0402=0x01600A00
0x0475=0x00000064
0x0476=0x000003E8
0x0434=0x11190720
0x0429=0x00989680

0x0722=0x00072020
0x0725=0x00202003
0x0708=0x10130002
0x0709=0x01940201
0x070a=0x01019201
0x070b=0x9a0101a4
0x070c=0x019b0101
0x070D=0x00009c01

[VDRIVER]
0x00=0x10
0x01=0x7a
0x02=0xca
0x03=0x22
0x04=0x14
0x05=0x42
0x06=0x9a
0x07=0x42
0x08=0xca
0x09=0x07
0x0a=0x06
0x0b=0xd5
0x0c=0x28
0x0d=0x90
0x0e=0xd0
0x0F=0xd3
0x10=0x0c
0x11=0x00
0x12=0x01
0x13=0x11
0x23=0x04
0x24=0xE0
0x25=0x00
0x26=0x0a
0x27=0x01
0x28=0x00
0x29=0x05
0x2b=0xf1
0x2c=0xc8
0x2d=0x03
0x2e=0x01
0x2f=0xe0
0x30=0xff
0x31=0x00
0x32=0x00)text";

static_assert(sizeof(kConfigAlgorithmText) - 1 == 273, "ConfigAlgorithm.json is 273 bytes");
static_assert(sizeof(kConfigCameraText) - 1 == 9476, "ConfigCamera.json is 9476 bytes");
static_assert(sizeof(kRegisterText) - 1 == 946, "register.json is 946 bytes");

// Truncates or creates `name` and writes `size` bytes of `text`; true only
// when every byte was written and the file closed cleanly (a full disk must
// not leave an empty configuration behind a successful start). A FIFO or
// device in place of the file is refused without waiting for a reader.
bool writeText(const char* name, const char* text, size_t size) {
    const int fd = ::open(name, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    struct stat st;
    bool whole = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    for (size_t done = 0; whole && done < size;) {
        const ssize_t n = ::write(fd, text + done, size - done);
        if (n > 0) {
            done += size_t(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            whole = false;
        }
    }
    return ::close(fd) == 0 && whole;
}

}  // namespace

bool writeDefaultConfigFiles() {
    return writeText(kConfigAlgorithmFile, kConfigAlgorithmText, sizeof(kConfigAlgorithmText) - 1) &&
           writeText(kConfigCameraFile, kConfigCameraText, sizeof(kConfigCameraText) - 1) &&
           writeText(kRegisterFile, kRegisterText, sizeof(kRegisterText) - 1);
}

}  // namespace Norvane
