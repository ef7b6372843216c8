// SPDX-License-Identifier: MIT
#include "tests/integration/ExchangeRig.h"

namespace kelvra {
namespace {

std::string Frames(std::initializer_list<const char*> frames) {
    std::string all;
    for (const char* frame : frames) all += (all.empty() ? "" : " ") + BytesToHex(HexToBytes(frame));
    return all;
}

const std::string RDTestOnFrames = Frames({
    "1F0010400004000164010" "12E", "1F0010400004000164010" "12E", "1F00107F0171",
    "1F00104000040001" "7EF302C5", "1F00104000040001" "7EF302C5", "1F00107F0272",
});

TEST(ExchangeOverPty, SingleRepliesWaitOutTheirTimeoutAndSucceed) {
    ExchangeRig rig({.replyCopies = 1}, 20.0);
    rig.Choose("MPNetOnRD");
    EXPECT_EQ(rig.LogLines(), (QStringList{"Init Local Mode...", "COM port open.", "Init Local Mode Ok",
                                           "R&D Test On", "COM port close."}));
    EXPECT_EQ(rig.HeardByThePhone(), RDTestOnFrames);
    EXPECT_FALSE(rig.window->Comm().PortOpen());
    EXPECT_GE(rig.runtime.Timer(), 20.0) << "each reply stage waited out its time-out";
}

TEST(ExchangeOverPty, ThreeRepliesFinishWithoutWaitingOutATimeout) {
    ExchangeRig rig({.replyCopies = 3}, 1.0);
    rig.Choose("MPNetOnRD");
    EXPECT_EQ(rig.LogLines(), (QStringList{"Init Local Mode...", "COM port open.",
                                           "Attention ! Received 3 command block.", "Init Local Mode Ok",
                                           "Attention ! Received 3 command block.", "R&D Test On",
                                           "COM port close."}));
    EXPECT_EQ(rig.HeardByThePhone(), RDTestOnFrames);
    EXPECT_LT(rig.runtime.Timer(), 5.0);
}

TEST(ExchangeOverPty, ReplyTypeBytesCarryIntoTheNextCommandFrame) {
    ExchangeRig rig({.replyCopies = 3, .replyType = {0x41, 0x00}}, 1.0);
    rig.Choose("MPNetOff");
    EXPECT_EQ(rig.HeardByThePhone(), Frames({
                                         "1F0010400004000164010" "12E",
                                         "1F0010400004000164010" "12E",
                                         "1F00107F0171",
                                         "1F00104100040001" "7EF102C6",
                                         "1F00104100040001" "7EF102C6",
                                         "1F00107F0272",
                                     }));
    EXPECT_TRUE(rig.LogLines().contains("Field Test Display Off"));
}

}  // namespace
}  // namespace kelvra
