// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/EngineNotices.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstring>

#include <QSocketNotifier>
#include <QThread>

#include "core/Reporter.h"

namespace sorvane {

namespace {

static_assert((EngineNotices::kCapacity & (EngineNotices::kCapacity - 1)) == 0, "capacity must be a power of two");

// Copies text, cut to fit, always terminated.
template <size_t N>
void CopyText(std::array<char, N>& to, const char* text) {
  std::strncpy(to.data(), text != nullptr ? text : "", N - 1);
  to[N - 1] = '\0';
}

}  // namespace

EngineNotices::EngineNotices(NoticeTarget& target, EngineMutex& engineLock)
    : Target(target), EngineLock(engineLock), Cells(new Cell[kCapacity]) {
  for (size_t i = 0; i < kCapacity; ++i) Cells[i].Sequence.store(i, std::memory_order_relaxed);
  WakeDescriptor = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (WakeDescriptor >= 0) {
    Notifier = new QSocketNotifier(WakeDescriptor, QSocketNotifier::Read, this);
    connect(Notifier, &QSocketNotifier::activated, this, [this] {
      uint64_t count = 0;
      while (read(WakeDescriptor, &count, sizeof count) == static_cast<ssize_t>(sizeof count)) {
      }
      Drain();
    });
  }
}

EngineNotices::~EngineNotices() {
  if (Routing) SetErrorBoxRouter(nullptr, nullptr);
  delete Notifier;
  if (WakeDescriptor >= 0) close(WakeDescriptor);
}

void EngineNotices::RouteErrorBoxes() {
  Routing = true;
  SetErrorBoxRouter(&EngineNotices::RouteBox, this);
}

bool EngineNotices::OnWindowThread() const { return QThread::currentThread() == thread(); }

void EngineNotices::Drain() {
  Notice notice;
  while (Pop(notice)) Deliver(notice);
}

void EngineNotices::Send(const Notice& notice) {
  if (OnWindowThread()) {
    // Whatever the engine's thread said before goes first.
    Drain();
    Deliver(notice);
    return;
  }
  if (!Push(notice)) OverflowCount.fetch_add(1, std::memory_order_relaxed);
}

void EngineNotices::Deliver(const Notice& notice) {
  switch (notice.What) {
    case Kind::KeyColour: Target.KeyColourChanged(notice.Value, notice.Flag); break;
    case Kind::PhraseButtons: Target.PhraseButtonsChanged(notice.Buttons); break;
    case Kind::Take: Target.TakeChanged(notice.Flag); break;
    case Kind::AudioStarted: Target.AudioStarted(); break;
    case Kind::RequestClose: Target.RequestClose(); break;
    case Kind::Control: Target.ControlFromMidi(notice.Control, notice.Value); break;
    case Kind::Learnt: Target.MidiControllerLearnt(notice.Control, notice.Value); break;
    case Kind::Box: ShowBox(notice.Caption, notice.Text.data()); break;
  }
}

void EngineNotices::ShowBox(const char* caption, const char* text) {
  std::array<char, kTextBytes> key{};
  CopyText(key, text);
  for (const auto& open : OpenBoxes) {
    if (open == key) return;
  }
  OpenBoxes.push_back(key);
  {
    // The engine's thread goes on with the blocks while the box is open.
    EngineLockRelease release(EngineLock);
    ShowErrorBoxNow(caption, text);
  }
  OpenBoxes.pop_back();
}

bool EngineNotices::RouteBox(void* context, const char* caption, const char* text) {
  auto* self = static_cast<EngineNotices*>(context);
  Notice notice = Make(Kind::Box);
  notice.Caption = caption;  // the engine's captions are literals
  CopyText(notice.Text, text);
  self->Send(notice);
  return true;
}

EngineNotices::Notice EngineNotices::Make(Kind what, int32_t value, bool flag) {
  Notice notice;
  notice.What = what;
  notice.Value = value;
  notice.Flag = flag;
  return notice;
}

void EngineNotices::KeyColourChanged(int32_t key, bool sounding) { Send(Make(Kind::KeyColour, key, sounding)); }

void EngineNotices::PhraseButtonsChanged(const PhraseButtons& buttons) {
  Notice notice = Make(Kind::PhraseButtons);
  notice.Buttons = buttons;
  Send(notice);
}

void EngineNotices::TakeChanged(bool recording) { Send(Make(Kind::Take, 0, recording)); }

void EngineNotices::AudioStarted() { Send(Make(Kind::AudioStarted)); }

void EngineNotices::RequestClose() { Send(Make(Kind::RequestClose)); }

void EngineNotices::ControlFromMidi(MidiControl control, int32_t value) {
  Notice notice = Make(Kind::Control, value);
  notice.Control = control;
  Send(notice);
}

void EngineNotices::MidiControllerLearnt(MidiControl control, int32_t controller) {
  Notice notice = Make(Kind::Learnt, controller);
  notice.Control = control;
  Send(notice);
}

bool EngineNotices::Push(const Notice& notice) noexcept {
  size_t pos = EnqueuePos.load(std::memory_order_relaxed);
  Cell* cell = nullptr;
  for (;;) {
    cell = &Cells[pos & (kCapacity - 1)];
    const size_t sequence = cell->Sequence.load(std::memory_order_acquire);
    const auto diff = static_cast<ptrdiff_t>(sequence) - static_cast<ptrdiff_t>(pos);
    if (diff == 0) {
      if (EnqueuePos.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) break;
    } else if (diff < 0) {
      return false;
    } else {
      pos = EnqueuePos.load(std::memory_order_relaxed);
    }
  }
  cell->Item = notice;
  cell->Sequence.store(pos + 1, std::memory_order_release);
  if (WakeDescriptor >= 0) {
    const uint64_t one = 1;
    const ssize_t written = write(WakeDescriptor, &one, sizeof one);
    static_cast<void>(written);  // a full counter is readable anyway
  }
  return true;
}

bool EngineNotices::Pop(Notice& notice) noexcept {
  Cell& cell = Cells[DequeuePos & (kCapacity - 1)];
  if (cell.Sequence.load(std::memory_order_acquire) != DequeuePos + 1) return false;
  notice = cell.Item;
  cell.Sequence.store(DequeuePos + kCapacity, std::memory_order_release);
  ++DequeuePos;
  return true;
}

}  // namespace sorvane
