// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <memory>

#include "tools/render/Script.h"

namespace sorvane {
namespace {

TEST(Script, KeepsFileOrderWithinABlockAndSortsBlocks) {
  std::vector<ScriptCommand> c;
  std::string error;
  ASSERT_TRUE(ParseScript("5 down 3\n  # comment\n2 up 3\n5 waveform 1\r\n2 down 4\n\n0 phraseload  my phrase.wav  \n",
                          "s", 10, c, error))
      << error;
  ASSERT_EQ(c.size(), 5u);
  EXPECT_EQ(c[0].Kind, CommandKind::PhraseLoad);
  EXPECT_EQ(c[0].Path, "my phrase.wav");  // a path may contain blanks
  EXPECT_EQ(c[1].Kind, CommandKind::Up);
  EXPECT_EQ(c[2].Kind, CommandKind::Down);
  EXPECT_EQ(c[2].Value, 4);
  EXPECT_EQ(c[3].Kind, CommandKind::Down);
  EXPECT_EQ(c[4].Kind, CommandKind::Waveform);
  EXPECT_EQ(c[4].Line, 4);
}

TEST(Script, NumbersTakeASignAndNothingElse) {
  std::vector<ScriptCommand> c;
  std::string error;
  EXPECT_TRUE(ParseScript("+3 moddepth +7\n", "s", 10, c, error)) << error;
  EXPECT_EQ(c[0].Block, 3);
  EXPECT_EQ(c[0].Value, 7);
  EXPECT_FALSE(ParseScript("1 moddepth 7x\n", "s", 10, c, error));
  EXPECT_FALSE(ParseScript("1 moddepth 0x10\n", "s", 10, c, error));
  EXPECT_FALSE(ParseScript("1 stall 99999999999999999999999\n", "s", 10, c, error));
  EXPECT_FALSE(ParseScript("1.5 up 2\n", "s", 10, c, error));
  EXPECT_EQ(error, "s:1: bad block number \"1.5\"");
}

TEST(Script, CommandsActOnTheEngineLikeTheirControls) {
  auto engine = std::make_unique<EngineState>();
  CreateEngine(*engine, nullptr);
  std::vector<ScriptCommand> c;
  std::string error;
  ASSERT_TRUE(
      ParseScript("0 down 3\n0 waveform 0\n0 octave 0\n0 modshape square\n0 ctrl 1\n0 echodelay 50\n"
                  "0 emphasis 1\n0 phrase on\n0 phraserec\n0 stall 12\n",
                  "s", 1, c, error));
  int64_t stall = 0;
  engine->Pool.Voices[0].Phase = 0;
  for (const auto& command : c) {
    if (command.Kind == CommandKind::Waveform) engine->Pool.Voices[0].Phase = 5;
    stall += ApplyCommand(*engine, command);
  }
  EXPECT_EQ(engine->Pool.VoiceKeys[0], 3);
  EXPECT_EQ(engine->Pool.Voices[0].Phase, 0.0);  // the same waveform again still restarts the voices
  EXPECT_EQ(engine->Params.Octave, 0);
  EXPECT_FALSE(engine->Switches.TriangleShape);
  EXPECT_TRUE(engine->CtrlHeld);
  EXPECT_EQ(engine->Params.EchoDelayMs, 50);
  EXPECT_TRUE(engine->Switches.Emphasis);
  EXPECT_EQ(engine->Phrase.PhraseMode, kPhraseCapture);
  EXPECT_EQ(stall, 12);
}

}  // namespace
}  // namespace sorvane
