// SPDX-License-Identifier: GPL-3.0-or-later
// Key placement, captions, physical-key translation, table search and the
// stuck-key watchdog, without any toolkit.
#include <gtest/gtest.h>

#include <set>

#include "keyboard/KeyInput.h"
#include "keyboard/KeyboardLayout.h"

namespace sorvane {
namespace {

constexpr int kPanel = 209;

TEST(KeyboardLayout, KeysSitWhereTheTablePutsThem) {
  // Left edges of every key, and the row's top below the panel.
  const int lefts[kKeyCount] = {2,   15,  32,  45,  75,  92,  105, 122, 135, 165, 182, 195, 212, 225,
                                242, 255, 285, 302, 315, 332, 2,   15,  32,  45,  75,  92,  105, 122,
                                135, 165, 182, 195, 212, 225, 242, 255, 285, 302, 315, 332, 345};
  const KeyboardLayout layout = LayoutKeyboard(KeyTable, kPanel);
  for (int i = 0; i < kKeyCount; ++i) {
    SCOPED_TRACE(i);
    const KeyPlacement& p = layout.Keys[i];
    EXPECT_EQ(p.Left, lefts[i]);
    EXPECT_EQ(p.Top, kPanel + (i < 20 ? 80 : 0));
    if (KeyTable[i].IsBlack) {
      EXPECT_EQ(p.Width, 26);
      EXPECT_EQ(p.Height, 45);
    } else {
      EXPECT_EQ(p.Width, 30);
      EXPECT_EQ(p.Height, 80);
    }
  }
  EXPECT_EQ(layout.Width, 375);
}

TEST(KeyboardLayout, BlackKeysOverlapEachWhiteNeighbourByThirteenPixels) {
  const KeyboardLayout layout = LayoutKeyboard(KeyTable, kPanel);
  int checked = 0;
  for (int i = 1; i + 1 < kKeyCount; ++i) {
    if (!KeyTable[i].IsBlack) continue;
    const KeyPlacement& b = layout.Keys[i];
    const KeyPlacement& left = layout.Keys[i - 1];
    const KeyPlacement& right = layout.Keys[i + 1];
    if (KeyTable[i - 1].Row != KeyTable[i].Row || KeyTable[i + 1].Row != KeyTable[i].Row) continue;
    SCOPED_TRACE(i);
    EXPECT_EQ(left.Left + left.Width - b.Left, 13);
    EXPECT_EQ(b.Left + b.Width - right.Left, 13);
    ++checked;
  }
  EXPECT_GT(checked, 10);
}

TEST(KeyboardLayout, StackingPutsBlackKeysOverTheirRowAndRowsInOrder) {
  const KeyboardLayout layout = LayoutKeyboard(KeyTable, kPanel);
  std::set<int32_t> seen(layout.StackOrder.begin(), layout.StackOrder.end());
  EXPECT_EQ(seen.size(), static_cast<size_t>(kKeyCount));
  // Groups in order: row 0 white, row 0 black, row 1 white, row 1 black;
  // table order inside each group.
  int lastGroup = 0;
  int lastIndex = -1;
  for (int32_t index : layout.StackOrder) {
    const int group = KeyTable[index].Row * 2 + KeyTable[index].IsBlack;
    ASSERT_GE(group, lastGroup);
    if (group == lastGroup) {
      EXPECT_GT(index, lastIndex);
    }
    lastGroup = group;
    lastIndex = index;
  }
  EXPECT_EQ(layout.StackOrder.front(), 1);  // Z
  EXPECT_EQ(layout.StackOrder.back(), 39);  // ^
}

TEST(KeyboardLayout, CaptionIsTheLabelOrTheKeyCodeCharacter) {
  EXPECT_EQ(KeyCaption(KeyTable[0]), "A");
  EXPECT_EQ(KeyCaption(KeyTable[20]), "1");
  EXPECT_EQ(KeyCaption(KeyTable[13]), ",");
  EXPECT_EQ(KeyCaption(KeyTable[18]), "＼");
  EXPECT_EQ(KeyCaption(KeyTable[38]), "@");
  EXPECT_EQ(KeyCaption(KeyTable[40]), "[");
}

// evdev codes, by position on the keyboard.
constexpr uint32_t kEvMinus = 12, kEvEqual = 13, kEvLeftBrace = 26, kEvRightBrace = 27;
constexpr uint32_t kEvApostrophe = 40, kEvBackslash = 43, kEvComma = 51, kEvSlash = 53;
constexpr uint32_t kEvF1 = 59, kEv102nd = 86, kEvRo = 89, kEvLeftCtrl = 29, kEvRightCtrl = 97;

int32_t KeyAt(uint32_t evdev) { return FindKeyIndex(VirtualKeyFromEvdev(evdev)); }

TEST(PhysicalKeys, LowerPianoRowFollowsTheBottomAndHomeRows) {
  // White keys: Z X C V B N M , . / and the "ro" key right of "/".
  const uint32_t whites[] = {44, 45, 46, 47, 48, 49, 50, 51, 52, 53, kEvRo};
  const int expectedWhite[] = {1, 3, 4, 6, 8, 9, 11, 13, 15, 16, 18};
  for (size_t i = 0; i < std::size(whites); ++i) EXPECT_EQ(KeyAt(whites[i]), expectedWhite[i]) << i;
  // Black keys: A S F G J K L, ":" right of ";", "]" right of ":".
  const uint32_t blacks[] = {30, 31, 33, 34, 36, 37, 38, kEvApostrophe, kEvBackslash};
  const int expectedBlack[] = {0, 2, 5, 7, 10, 12, 14, 17, 19};
  for (size_t i = 0; i < std::size(blacks); ++i) EXPECT_EQ(KeyAt(blacks[i]), expectedBlack[i]) << i;
}

TEST(PhysicalKeys, UpperPianoRowFollowsTheTopAndNumberRows) {
  const uint32_t whites[] = {16, 17, 18, 19, 20, 21, 22, 23, 24, 25, kEvLeftBrace, kEvRightBrace};
  const int expectedWhite[] = {21, 23, 24, 26, 28, 29, 31, 33, 35, 36, 38, 40};
  for (size_t i = 0; i < std::size(whites); ++i) EXPECT_EQ(KeyAt(whites[i]), expectedWhite[i]) << i;
  const uint32_t blacks[] = {2, 3, 5, 6, 8, 9, 10, kEvMinus, kEvEqual};
  const int expectedBlack[] = {20, 22, 25, 27, 30, 32, 34, 37, 39};
  for (size_t i = 0; i < std::size(blacks); ++i) EXPECT_EQ(KeyAt(blacks[i]), expectedBlack[i]) << i;
}

TEST(PhysicalKeys, ExtraKeyLeftOfZPlaysLikeTheRoKey) {
  EXPECT_EQ(VirtualKeyFromEvdev(kEv102nd), 0xE2);
  EXPECT_EQ(VirtualKeyFromEvdev(kEvRo), 0xE2);
  EXPECT_EQ(KeyAt(kEv102nd), 18);
}

TEST(PhysicalKeys, KeysOutsideThePianoKeepTheirOwnCodes) {
  EXPECT_EQ(VirtualKeyFromEvdev(kEvF1), 112);
  EXPECT_EQ(VirtualKeyFromEvdev(kEvLeftCtrl), kVkControl);
  EXPECT_EQ(VirtualKeyFromEvdev(kEvRightCtrl), kVkControl);
  EXPECT_EQ(VirtualKeyFromEvdev(57), 0x20);  // space
  EXPECT_EQ(FindKeyIndex(VirtualKeyFromEvdev(57)), -1);
  EXPECT_EQ(VirtualKeyFromEvdev(0), kVkNone);
  EXPECT_EQ(VirtualKeyFromEvdev(100000), kVkNone);
  EXPECT_EQ(VirtualKeyFromEvdev(kEvComma), 0xBC);
  EXPECT_EQ(VirtualKeyFromEvdev(kEvSlash), 0xBF);
}

TEST(PhysicalKeys, EveryTableKeyCanBeReachedFromSomePosition) {
  std::set<int32_t> reachable;
  for (uint32_t code = 0; code < kEvdevCodeCount; ++code) {
    const int32_t index = KeyAt(code);
    if (index >= 0) reachable.insert(index);
  }
  EXPECT_EQ(reachable.size(), static_cast<size_t>(kKeyCount));
}

TEST(KeyTableSearch, CountsTheEntriesPassedOver) {
  int32_t passed = -1;
  EXPECT_EQ(FindKeyIndex(0x41, &passed), 0);  // A, the first entry
  EXPECT_EQ(passed, 0);
  EXPECT_EQ(FindKeyIndex(0x5A, &passed), 1);  // Z
  EXPECT_EQ(passed, 1);
  EXPECT_EQ(FindKeyIndex(112, &passed), -1);  // F1
  EXPECT_EQ(passed, kKeyCount);
  // "K" and "1" play the same note but are different keys.
  EXPECT_EQ(FindKeyIndex(0x4B), 12);
  EXPECT_EQ(FindKeyIndex(0x31), 20);
}

class FakeKeys final : public KeyStateSource {
 public:
  std::set<int32_t> Down;
  int Refreshes = 0;
  void Refresh() override { ++Refreshes; }
  bool IsKeyDown(int32_t vk) override { return Down.count(vk) != 0; }
};

std::array<int32_t, kWatchdogSlots> Slots(std::initializer_list<int32_t> keys) {
  std::array<int32_t, kWatchdogSlots> slots;
  slots.fill(-1);
  int i = 0;
  for (int32_t k : keys) slots[i++] = k;
  return slots;
}

TEST(Watchdog, RunsOnEveryFourthTick) {
  int32_t ticks = 0;
  std::vector<bool> runs;
  for (int i = 0; i < 12; ++i) runs.push_back(WatchdogTick(ticks));
  const std::vector<bool> expected = {false, false, false, true, false, false, false, true, false, false, false, true};
  EXPECT_EQ(runs, expected);
  EXPECT_EQ(ticks, 0);
}

TEST(Watchdog, ReleasesKeysThatAreUpAndNotShownPressed) {
  FakeKeys keys;
  keys.Down = {0x5A};  // Z still held
  const auto noneShownPressed = [](int32_t) { return false; };
  // Slots: Z (1), X (3), free, Q (21).
  auto slots = Slots({1, 3, -1, 21});
  const WatchdogRelease r = WatchdogScan(KeyTable, false, slots, keys, noneShownPressed);
  ASSERT_EQ(r.KeyCount, 2);
  EXPECT_EQ(r.Keys[0], 3);
  EXPECT_EQ(r.Keys[1], 21);
  EXPECT_FALSE(r.ClearCtrl);
  EXPECT_EQ(keys.Refreshes, 1);
}

TEST(Watchdog, KeepsAKeyShownPressedOnScreen) {
  FakeKeys keys;
  const WatchdogRelease r = WatchdogScan(KeyTable, false, Slots({3, 9}), keys, [](int32_t key) { return key == 3; });
  ASSERT_EQ(r.KeyCount, 1);
  EXPECT_EQ(r.Keys[0], 9);
}

TEST(Watchdog, NeverReleasesAKeyWithoutAPcKey) {
  auto table = KeyTable;
  table[5].KeyCode = -1;
  FakeKeys keys;
  const WatchdogRelease r = WatchdogScan(table, false, Slots({5, 6}), keys, nullptr);
  ASSERT_EQ(r.KeyCount, 1);
  EXPECT_EQ(r.Keys[0], 6);
}

TEST(Watchdog, ClearsCtrlOnlyWhenItIsUp) {
  FakeKeys keys;
  EXPECT_TRUE(WatchdogScan(KeyTable, true, Slots({}), keys, nullptr).ClearCtrl);
  keys.Down = {kVkControl};
  EXPECT_FALSE(WatchdogScan(KeyTable, true, Slots({}), keys, nullptr).ClearCtrl);
  keys.Down.clear();
  EXPECT_FALSE(WatchdogScan(KeyTable, false, Slots({}), keys, nullptr).ClearCtrl);
}

TEST(KeyState, EventStateForgetsEveryKeyWhenFocusIsLost) {
  EventKeyState state;
  state.KeyDown(0x5A);
  state.KeyDown(kVkControl);
  EXPECT_TRUE(state.IsKeyDown(0x5A));
  state.KeyUp(0x5A);
  EXPECT_FALSE(state.IsKeyDown(0x5A));
  EXPECT_TRUE(state.IsKeyDown(kVkControl));
  state.FocusLost();
  EXPECT_FALSE(state.IsKeyDown(kVkControl));
  state.KeyDown(0);
  state.KeyDown(-3);
  state.KeyDown(5000);
  EXPECT_FALSE(state.IsKeyDown(0));
}

TEST(KeyState, KeymapBitsAreX11KeycodesOfThePositions) {
  KeymapKeyState state;
  std::array<uint8_t, 32> keymap{};
  const uint32_t z = 44 + kX11KeycodeOffset;  // evdev KEY_Z
  keymap[z / 8] |= static_cast<uint8_t>(1u << (z % 8));
  state.SetKeymap(keymap);
  EXPECT_TRUE(state.IsKeyDown(0x5A));
  EXPECT_FALSE(state.IsKeyDown(0x58));
  EXPECT_FALSE(state.IsKeyDown(kVkControl));
  // Right Ctrl counts as Ctrl; the ISO key counts as the "ro" key.
  const uint32_t rightCtrl = 97 + kX11KeycodeOffset;
  const uint32_t iso = 86 + kX11KeycodeOffset;
  keymap[rightCtrl / 8] |= static_cast<uint8_t>(1u << (rightCtrl % 8));
  keymap[iso / 8] |= static_cast<uint8_t>(1u << (iso % 8));
  state.SetKeymap(keymap);
  EXPECT_TRUE(state.IsKeyDown(kVkControl));
  EXPECT_TRUE(state.IsKeyDown(0xE2));
}

}  // namespace
}  // namespace sorvane
