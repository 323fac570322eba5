// SPDX-License-Identifier: GPL-3.0-or-later
// Live MIDI input of the main window: on a private JACK server (dummy
// driver, started and stopped here), a hardware-like source that appears
// after the start is connected by the program itself, note 60 turns key 24
// red and starts its voice at the note's soft velocity, the pitch bend
// reaches the engine, the wheel moves the depth scroll bar, the
// watchdog leaves the held key alone, and the note-off turns it white. With
// the sound itself on JACK, MIDI In is the sound client's own port: no
// second client appears and notes still play. And without any MIDI system
// the window starts as before, with one line on stderr and no error box.
// A JACK restart lets go of what MIDI held, and MIDI In comes back with the
// server. With the sound on JACK, the blocks go on while the window's
// thread is blocked.

#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

#include <jack/jack.h>
#include <jack/midiport.h>

#include "AppTestSupport.h"
#include "midi/JackClient.h"
#include "tests/support/JackServer.h"
#include "tests/support/Wait.h"

namespace sorvane {
namespace {

namespace fs = std::filesystem;

// Pumps the event loop until done() or the time is up.
bool WaitUntil(const std::function<bool()>& done, int seconds = 20) {
  return test::WaitUntil(done, seconds, [] { QTest::qWait(10); });
}

const QColor kRed(255, 0, 0);
const QColor kWhite(255, 255, 255);

// A private JACK server for one test, in a work folder of its own, which
// the program is told to use (with SORVANE_SOUND or SORVANE_MIDI set to
// "jack"); the variables are unset and the folder removed at the end.
struct JackRun {
  JackRun(const std::string& name, const char* variable, int rate = 22050, int period = 220)
      : Work(fs::path(SORVANE_MIDI_TEST_DIR) / (name + "-" + std::to_string(getpid()))),
        Variable(variable),
        Jack((fs::remove_all(Work), fs::create_directories(Work), Work / "jackd.log"), rate, period) {
    setenv("JACK_DEFAULT_SERVER", Jack.Name.c_str(), 1);
    setenv("JACK_NO_START_SERVER", "1", 1);
    setenv(Variable, "jack", 1);
  }
  ~JackRun() {
    unsetenv(Variable);
    unsetenv("JACK_DEFAULT_SERVER");
    fs::remove_all(Work);
  }
  const fs::path Work;
  const char* const Variable;
  test::JackServer Jack;
};

// The MIDI source script, sending to the program's MIDI In: a note-on (at
// velocity, and followed by the pitch bend when given) once it is
// connected, its release on Release, gone on Quit.
class MidiSender {
 public:
  explicit MidiSender(const JackRun& run, const std::string& velocityAndBend = "") : Work(run.Work) {
    const std::string command = "'" SORVANE_MIDI_SENDER "' '" + run.Jack.Name + "' 'Sorvane:MIDI In' '" +
                                Work.string() + "' " + velocityAndBend + " > '" + (Work / "sender.log").string() +
                                "' 2>&1";
    Pipe = popen(command.c_str(), "r");
  }
  bool Started() const { return Pipe != nullptr; }
  bool Connected() const { return fs::exists(Work / "connected"); }
  void Release() const { std::ofstream(Work / "release").close(); }
  // Ends the script; its exit status must be 0.
  void Quit() {
    std::ofstream(Work / "quit").close();
    EXPECT_EQ(pclose(Pipe), 0) << test::ReadFileText(Work / "sender.log");
    Pipe = nullptr;
  }

 private:
  const fs::path Work;
  FILE* Pipe;
};

TEST(MidiLive, JackNotePlaysKeyTwentyFourAndTheSourceIsConnectedByItself) {
  JackRun run("live", "SORVANE_MIDI");
  ASSERT_TRUE(run.Jack.Ready()) << "jackd did not start; see " << (run.Work / "jackd.log");
  // A hardware-like source that is there before the program starts.
  jack_status_t status;
  jack_client_t* early = jack_client_open("early-source", JackNoStartServer, &status);
  ASSERT_NE(early, nullptr);
  jack_port_t* earlyPort = jack_port_register(early, "keys", JACK_DEFAULT_MIDI_TYPE,
                                              JackPortIsOutput | JackPortIsPhysical | JackPortIsTerminal, 0);
  ASSERT_NE(earlyPort, nullptr);
  // A MIDI output sends nothing only when its buffer is cleared every cycle.
  jack_set_process_callback(
      early,
      [](jack_nframes_t frames, void* port) {
        jack_midi_clear_buffer(jack_port_get_buffer(static_cast<jack_port_t*>(port), frames));
        return 0;
      },
      earlyPort);
  ASSERT_EQ(jack_activate(early), 0);

  {
    test::Window w;
    EXPECT_TRUE(WaitUntil([&] { return jack_port_connected_to(earlyPort, "Sorvane:MIDI In") != 0; }))
        << "the source present at start was not connected";
    w->Watchdog()->start();  // the watchdog runs: a MIDI-held key must survive it
    ASSERT_NE(w->MidiIn(), nullptr);
    ASSERT_EQ(w->MidiIn()->System(), MidiSystem::Jack);
    EXPECT_TRUE(w.Errors.Texts.empty());
    ASSERT_EQ(w->Keyboard().Button(24)->Color(), kWhite);
    Preferences velocity;
    velocity.VelocityOn = true;
    w->ApplyPreferences(velocity);

    MidiSender sender(run, "20 -4096");
    ASSERT_TRUE(sender.Started());
    EXPECT_TRUE(WaitUntil([&] { return sender.Connected(); }, 40)) << "the program did not connect the new source";
    EXPECT_TRUE(WaitUntil([&] { return w->Keyboard().Button(24)->Color() == kRed; }));
    EXPECT_TRUE(test::Holds(w.Engine(), 24));
    EXPECT_TRUE(WaitUntil([&] { return test::Find<QScrollBar>(*w, "vibratoDepth")->value() == 100; }));
    // The soft note plays soft, and the bend sent after it bends it.
    EXPECT_TRUE(WaitUntil([&] {
      std::lock_guard<EngineMutex> lock(w.Engine().EngineLock);
      return w.Engine().Synth.PitchBend == -4096;
    }));
    {
      std::lock_guard<EngineMutex> lock(w.Engine().EngineLock);
      const auto& keys = w.Engine().Pool.VoiceKeys;
      const auto slot = static_cast<int>(std::find(keys.begin(), keys.end(), 24) - keys.begin());
      ASSERT_LT(slot, kVoiceCount);
      EXPECT_EQ(w.Engine().Pool.Velocities[slot], 20);
      EXPECT_EQ(VoiceLevel(w.Engine().Pool, w.Engine().Params, slot), 20.0 / 127.0);
    }
    EXPECT_EQ(w.Engine().Params.ModDepth, 100);
    EXPECT_EQ(test::Find<QLabel>(*w, "vibratoDepthValue")->text(), "100%");
    // Several watchdog runs: the key is held by MIDI, not by the mouse or a PC key.
    QTest::qWait(2500);
    EXPECT_EQ(w->Keyboard().Button(24)->Color(), kRed);
    EXPECT_TRUE(test::Holds(w.Engine(), 24));

    sender.Release();
    EXPECT_TRUE(WaitUntil([&] { return w->Keyboard().Button(24)->Color() == kWhite; }));
    EXPECT_FALSE(test::Holds(w.Engine(), 24));
    sender.Quit();
  }
  jack_client_close(early);
}

TEST(MidiLive, WithTheSoundOnJackMidiInIsThePortOfTheSoundClient) {
  JackRun run("sound", "SORVANE_SOUND");
  ASSERT_TRUE(run.Jack.Ready()) << "jackd did not start; see " << (run.Work / "jackd.log");
  unsetenv("SORVANE_MIDI");
  jack_client_t* observer = run.Jack.Join("observer");
  ASSERT_NE(observer, nullptr);
  {
    test::Window w(QLocale::English, MakeSystemAudio());
    ASSERT_EQ(w->MidiIn()->System(), MidiSystem::SoundClient);
    EXPECT_TRUE(w.Errors.Texts.empty());
    EXPECT_TRUE(WaitUntil([&] { return jack_port_by_name(observer, "Sorvane:Song Out L") != nullptr; }));
    // One client carries the sound and MIDI In; a port of its own would
    // have made "Sorvane-01".
    EXPECT_NE(jack_port_by_name(observer, "Sorvane:MIDI In"), nullptr);
    const char** others = jack_get_ports(observer, "^Sorvane-", nullptr, 0);
    EXPECT_EQ(others, nullptr) << "a second client: " << others[0];
    if (others != nullptr) jack_free(others);

    MidiSender sender(run);
    ASSERT_TRUE(sender.Started());
    EXPECT_TRUE(WaitUntil([&] { return sender.Connected(); }, 40));
    EXPECT_TRUE(WaitUntil([&] { return w->Keyboard().Button(24)->Color() == kRed; }));
    sender.Release();
    EXPECT_TRUE(WaitUntil([&] { return w->Keyboard().Button(24)->Color() == kWhite; }));
    sender.Quit();
  }
  jack_client_close(observer);
}

// A hardware-like MIDI source of the test's own: a physical MIDI output on
// the server that sends, in its next cycle, the message Send() hands it.
class KeysSource {
 public:
  explicit KeysSource(const test::JackServer& server) : Client(server.Join("keys-source")) {
    if (Client == nullptr) return;
    Port = jack_port_register(Client, "keys", JACK_DEFAULT_MIDI_TYPE,
                              JackPortIsOutput | JackPortIsPhysical | JackPortIsTerminal, 0);
    jack_set_process_callback(Client, &KeysSource::Process, this);
    jack_on_shutdown(
        Client, [](void* self) { static_cast<KeysSource*>(self)->Gone = true; }, this);
    jack_set_thread_init_callback(
        Client, [](void* self) { static_cast<KeysSource*>(self)->ProcessTid = gettid(); }, this);
    if (Port == nullptr || jack_activate(Client) != 0) Close();
  }
  ~KeysSource() { Close(); }
  bool Open() const { return Client != nullptr; }
  bool ConnectedToMidiIn() const { return Open() && jack_port_connected_to(Port, "Sorvane:MIDI In") != 0; }
  // Waits until the message before has gone out.
  bool Send(uint8_t status, uint8_t data1, uint8_t data2) {
    if (!WaitUntil([&] { return Message.load() == 0; }, 5)) return false;
    Message = 0x1000000u | status << 16 | data1 << 8 | data2;
    return true;
  }
  // Also after the server has gone, as the program closes its own.
  void Close() {
    if (Client == nullptr) return;
    if (Gone) AwaitJackThreadEnd(ProcessTid.load());
    jack_client_close(Client);
    Client = nullptr;
  }

 private:
  static int Process(jack_nframes_t frames, void* self) {
    auto* source = static_cast<KeysSource*>(self);
    void* buffer = jack_port_get_buffer(source->Port, frames);
    jack_midi_clear_buffer(buffer);
    if (const uint32_t m = source->Message.exchange(0)) {
      const uint8_t bytes[3] = {static_cast<uint8_t>(m >> 16), static_cast<uint8_t>(m >> 8), static_cast<uint8_t>(m)};
      jack_midi_event_write(buffer, 0, bytes, 3);
    }
    return 0;
  }

  jack_client_t* Client;
  jack_port_t* Port = nullptr;
  std::atomic<bool> Gone{false};
  std::atomic<pid_t> ProcessTid{0};
  std::atomic<uint32_t> Message{0};  // 1 << 24 and the three bytes; 0: nothing to send
};

// A user restarting JACK while a note and the pedal are down: the port goes
// with the server, so the key is let go at once instead of sounding on for
// a note-off that cannot come, and once the server is back the port is
// too, connected to the source again, with the pedal up. Both with MIDI In
// on a client of its own and on the sound client.
TEST(MidiLive, AJackRestartLetsGoOfTheHeldKeyAndMidiInComesBackWithTheServer) {
  for (const char* variable : {"SORVANE_MIDI", "SORVANE_SOUND"}) {
    SCOPED_TRACE(variable);
    const bool onSoundClient = std::strcmp(variable, "SORVANE_SOUND") == 0;
    JackRun run("restart", variable);
    ASSERT_TRUE(run.Jack.Ready()) << "jackd did not start; see " << (run.Work / "jackd.log");
    if (onSoundClient) unsetenv("SORVANE_MIDI");
    test::Window w(QLocale::English, onSoundClient ? MakeSystemAudio() : nullptr);
    ASSERT_EQ(w->MidiIn()->System(), onSoundClient ? MidiSystem::SoundClient : MidiSystem::Jack);
    {
      KeysSource source(run.Jack);
      ASSERT_TRUE(source.Open());
      ASSERT_TRUE(WaitUntil([&] { return source.ConnectedToMidiIn(); }));
      ASSERT_TRUE(source.Send(0x90, 60, 100) && source.Send(0xB0, 64, 127));
      ASSERT_TRUE(WaitUntil([&] { return w->Keyboard().Button(24)->Color() == kRed; }));

      run.Jack.Stop();
      EXPECT_TRUE(WaitUntil([&] { return w->Keyboard().Button(24)->Color() == kWhite; }, 5)) << "the key stayed down";
      EXPECT_FALSE(test::Holds(w.Engine(), 24));
    }
    run.Jack.Start();
    ASSERT_TRUE(run.Jack.Ready()) << "jackd did not start again";
    KeysSource source(run.Jack);
    ASSERT_TRUE(source.Open());
    EXPECT_TRUE(WaitUntil([&] { return source.ConnectedToMidiIn(); })) << "MIDI In did not come back";
    ASSERT_TRUE(source.Send(0x90, 60, 100));
    EXPECT_TRUE(WaitUntil([&] { return w->Keyboard().Button(24)->Color() == kRed; }));
    ASSERT_TRUE(source.Send(0x80, 60, 0));
    EXPECT_TRUE(WaitUntil([&] { return w->Keyboard().Button(24)->Color() == kWhite; })) << "the pedal stayed down";
    EXPECT_TRUE(w.Errors.Texts.empty());
  }
}

uint64_t Counted(EngineState& engine, const uint64_t EngineState::*counter) {
  std::lock_guard<EngineMutex> lock(engine.EngineLock);
  return engine.*counter;
}

// The blocks run on the engine's own thread: while the window's thread is
// blocked for 200 ms (as by a slow repaint or a font being loaded) the
// blocks go on, and none is dropped, in either latency mode. On a JACK
// dummy server, whose clock a busy machine does not hold up.
TEST(WindowSound, BlocksGoOnWhileTheWindowThreadIsBlocked) {
  JackRun run("blocked", "SORVANE_SOUND", 48000, 256);
  ASSERT_TRUE(run.Jack.Ready()) << "jackd did not start; see " << (run.Work / "jackd.log");
  for (const LatencyMode mode : {LatencyMode::Normal, LatencyMode::Low}) {
    SCOPED_TRACE(mode == LatencyMode::Low ? "low latency" : "normal");
    SoundOptions sound;
    sound.Latency = mode;
    test::Window w(QLocale::English, MakeSystemAudio(sound));
    EngineState& engine = w.Engine();
    ASSERT_TRUE(engine.Running);
    // Past the warm-up, with the queue steered into its band.
    ASSERT_TRUE(WaitUntil([&] { return Counted(engine, &EngineState::HandledBlocks) > 250; }));
    for (int i = 0; i < 3; ++i) {
      const uint64_t before = Counted(engine, &EngineState::HandledBlocks);
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      // 20 blocks were captured meanwhile; handled on the window's thread,
      // none would be.
      EXPECT_GE(Counted(engine, &EngineState::HandledBlocks) - before, 10u) << "block " << i;
      QTest::qWait(300);
    }
    EXPECT_EQ(Counted(engine, &EngineState::DroppedBlocks), 0u);
    EXPECT_TRUE(w.Errors.Texts.empty());
  }
}

TEST(MidiLive, WithoutAnyMidiSystemTheWindowStartsWithOneLineAndNoBox) {
  // No JACK server by this name; the machine has no ALSA sequencer unless
  // /dev/snd/seq exists, where "jack" is asked for instead.
  const test::ScopedEnv server("JACK_DEFAULT_SERVER", ("no-such-server-" + std::to_string(getpid())).c_str());
  const test::ScopedEnv noStart("JACK_NO_START_SERVER", "1");
  const test::ScopedEnv midi("SORVANE_MIDI", access("/dev/snd/seq", F_OK) == 0 ? "jack" : nullptr);
  std::string said;
  {
    testing::internal::CaptureStderr();
    test::Window w;
    said = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(w.Errors.Texts.empty());
    EXPECT_EQ(w->MidiIn()->System(), MidiSystem::None);
    // Everything else works as before: a mouse-less key press still plays.
    KeyNoteOn(w.Engine(), 24);
    EXPECT_EQ(w->Keyboard().Button(24)->Color(), kRed);
  }
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
  EXPECT_NE(said.find("sorvane: no MIDI input: "), std::string::npos) << said;
  EXPECT_NE(said.find("no JACK server"), std::string::npos) << said;
  // A newcomer learns what still plays and how to connect a keyboard.
  EXPECT_NE(said.find("The on-screen keys and the PC keyboard still play"), std::string::npos) << said;
  EXPECT_NE(said.find("start a JACK server, then start Sorvane again"), std::string::npos) << said;
}

}  // namespace
}  // namespace sorvane
