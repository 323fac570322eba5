// SPDX-License-Identifier: GPL-3.0-or-later
// The plugin live: jalv runs it on a private JACK server (dummy driver, 48000
// Hz, 256-frame periods) started by the test; a JACK client of the test
// sends it speech and a MIDI note-on for A3, and records what its left song
// output carries: the song, at 220 Hz.
#include <gtest/gtest.h>
#include <jack/jack.h>
#include <jack/midiport.h>
#include <samplerate.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <map>
#include <thread>

#include "tests/plugin/PluginHost.h"
#include "tests/support/JackServer.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

namespace sorvane {
namespace {

constexpr int kRate = 48000;
constexpr const char* kJalvClient = "sorvane-plugin";

// jalv as a child process on the test's server; its stdin is a pipe that
// stays open (at the end of its input it would quit) and takes console
// commands.
class Jalv {
 public:
  Jalv(const std::string& server, const std::filesystem::path& log) {
    int fds[2];
    if (pipe(fds) != 0) return;
    Pid = fork();
    if (Pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      dup2(fds[0], STDIN_FILENO);
      close(fds[1]);
      std::freopen(log.c_str(), "w", stdout);
      std::freopen(log.c_str(), "a", stderr);
      setenv("JACK_DEFAULT_SERVER", server.c_str(), 1);
      // Line by line into the log, so that the answers to its console
      // commands can be read while it runs (coreutils' stdbuf).
      execl("/usr/bin/stdbuf", "stdbuf", "-oL", SORVANE_JALV, "-n", kJalvClient, test::kPluginUri,
            static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[0]);
    Input = fds[1];
  }
  ~Jalv() {
    if (Pid > 0) {
      kill(Pid, SIGTERM);
      for (int i = 0; i < 50 && waitpid(Pid, nullptr, WNOHANG) == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      if (kill(Pid, 0) == 0) {
        kill(Pid, SIGKILL);
        waitpid(Pid, nullptr, 0);
      }
    }
    if (Input >= 0) close(Input);
  }
  pid_t Pid = -1;
  int Input = -1;
};

// The test's JACK client: speech out, the note on at the first cycle after
// Start, and the song recorded from then on.
struct Player {
  std::vector<float> Voice;
  std::vector<float> Song;
  std::atomic<bool> Started{false};
  std::atomic<size_t> Recorded{0};
  size_t VoiceAt = 0;
  bool NoteSent = false;
  jack_port_t* VoiceOut = nullptr;
  jack_port_t* MidiOut = nullptr;
  jack_port_t* SongIn = nullptr;

  static int Process(jack_nframes_t frames, void* self) {
    auto& p = *static_cast<Player*>(self);
    auto* voice = static_cast<float*>(jack_port_get_buffer(p.VoiceOut, frames));
    void* midi = jack_port_get_buffer(p.MidiOut, frames);
    const auto* song = static_cast<const float*>(jack_port_get_buffer(p.SongIn, frames));
    jack_midi_clear_buffer(midi);
    for (jack_nframes_t i = 0; i < frames; ++i) {
      voice[i] = p.Voice[p.VoiceAt];
      p.VoiceAt = p.VoiceAt + 1 == p.Voice.size() ? 0 : p.VoiceAt + 1;
    }
    if (!p.Started.load()) return 0;
    if (!p.NoteSent) {
      const jack_midi_data_t noteOn[3] = {0x90, 57, 100};
      jack_midi_event_write(midi, 0, noteOn, 3);
      p.NoteSent = true;
    }
    size_t at = p.Recorded.load();
    for (jack_nframes_t i = 0; i < frames && at < p.Song.size(); ++i) p.Song[at++] = song[i];
    p.Recorded.store(at);
    return 0;
  }
};

TEST(PluginOnJack, JalvPlaysTheNoteFromMidiAtItsPitch) {
  const test::TempDir dir;
  test::JackServer server(dir.Path / "jackd.log", kRate, 256);
  ASSERT_TRUE(server.Ready()) << "jackd did not start";
  Jalv jalv(server.Name, dir.Path / "jalv.log");
  ASSERT_GT(jalv.Pid, 0);

  Player player;
  {
    // The speech at the server's rate, looped.
    const std::vector<int16_t> speech = test::ReadSpeech();
    std::vector<float> in(speech.size());
    for (size_t i = 0; i < in.size(); ++i) in[i] = speech[i] / 32768.0f;
    player.Voice.resize(in.size() * kRate / 22050 + 16);
    SRC_DATA data{};
    data.data_in = in.data();
    data.input_frames = static_cast<long>(in.size());
    data.data_out = player.Voice.data();
    data.output_frames = static_cast<long>(player.Voice.size());
    data.src_ratio = kRate / 22050.0;
    ASSERT_EQ(src_simple(&data, SRC_SINC_MEDIUM_QUALITY, 1), 0);
    player.Voice.resize(static_cast<size_t>(data.output_frames_gen));
  }
  player.Song.assign(kRate * 3, 0.0f);

  jack_client_t* client = server.Join("player");
  ASSERT_NE(client, nullptr);
  player.VoiceOut = jack_port_register(client, "voice", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
  player.MidiOut = jack_port_register(client, "midi", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
  player.SongIn = jack_port_register(client, "song", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
  jack_set_process_callback(client, Player::Process, &player);
  ASSERT_EQ(jack_activate(client), 0);

  const std::string plugin = kJalvClient;
  const bool appeared =
      test::WaitFor([&] { return jack_port_by_name(client, (plugin + ":song_l").c_str()) != nullptr; }, 20, 50);
  EXPECT_TRUE(appeared) << "jalv's ports did not appear; see " << (dir.Path / "jalv.log");
  if (appeared) {
    // jalv registers its ports before it activates its client, and the
    // ports of a client not yet active cannot be connected.
    EXPECT_TRUE(test::WaitFor(
        [&] {
          const int result = jack_connect(client, "player:voice", (plugin + ":voice").c_str());
          return result == 0 || result == EEXIST;
        },
        20, 50));
    EXPECT_EQ(jack_connect(client, "player:midi", (plugin + ":midi_in").c_str()), 0);
    EXPECT_EQ(jack_connect(client, (plugin + ":song_l").c_str(), "player:song"), 0);
    // A few cycles for the connections to take, then the note.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    player.Started = true;
    EXPECT_TRUE(test::WaitFor([&] { return player.Recorded.load() == player.Song.size(); }, 20, 50));
  }
  jack_deactivate(client);
  jack_client_close(client);
  ASSERT_TRUE(appeared);

  // From 0.5 s on, after the plugin's delay and the first blocks.
  const size_t from = kRate / 2;
  double sum = 0;
  for (size_t i = from; i < player.Song.size(); ++i) sum += static_cast<double>(player.Song[i]) * player.Song[i];
  const double db = 10 * std::log10(sum / static_cast<double>(player.Song.size() - from) + 1e-20);
  EXPECT_GT(db, -30.0) << "the song output is silent";
  const double pitch = test::MeasurePitch(player.Song, from, player.Song.size() - from, kRate, 220);
  EXPECT_LT(std::fabs(test::Cents(pitch, 220)), 1.0) << pitch << " Hz";
}

// The factory presets as lilv reads them from the bundle: URI and the
// value of each control they set.
struct Preset {
  std::string Uri;
  std::vector<std::pair<std::string, float>> Values;
};
std::vector<Preset> FactoryPresets() {
  LilvWorld* world = lilv_world_new();
  lilv_world_load_all(world);
  LilvNode* uri = lilv_new_uri(world, test::kPluginUri);
  LilvNode* presetClass = lilv_new_uri(world, "http://lv2plug.in/ns/ext/presets#Preset");
  const LilvPlugin* plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world), uri);
  std::vector<Preset> presets;
  std::map<std::string, LV2_URID> uris;
  LV2_URID_Map map{&uris, [](LV2_URID_Map_Handle h, const char* u) {
                     auto& m = *static_cast<std::map<std::string, LV2_URID>*>(h);
                     return m.emplace(u, static_cast<LV2_URID>(m.size() + 1)).first->second;
                   }};
  LilvNodes* related = plugin != nullptr ? lilv_plugin_get_related(plugin, presetClass) : nullptr;
  LILV_FOREACH(nodes, i, related) {
    const LilvNode* node = lilv_nodes_get(related, i);
    lilv_world_load_resource(world, node);
    LilvState* state = lilv_state_new_from_world(world, &map, node);
    if (state == nullptr) continue;
    Preset preset{lilv_node_as_uri(node), {}};
    std::pair<Preset*, LV2_URID> emitted{&preset, map.map(map.handle, LV2_ATOM__Float)};
    lilv_state_emit_port_values(
        state,
        [](const char* symbol, void* self, const void* value, uint32_t size, uint32_t type) {
          auto& [preset, floatType] = *static_cast<std::pair<Preset*, LV2_URID>*>(self);
          float v = NAN;
          if (size == sizeof(float) && type == floatType) std::memcpy(&v, value, sizeof(v));
          preset->Values.emplace_back(symbol, v);
        },
        &emitted);
    presets.push_back(preset);
    lilv_state_free(state);
  }
  lilv_nodes_free(related);
  lilv_node_free(presetClass);
  lilv_node_free(uri);
  lilv_world_free(world);
  return presets;
}

TEST(PluginOnJack, JalvListsAndLoadsEachFactoryPreset) {
  const std::vector<Preset> presets = FactoryPresets();
  ASSERT_GE(presets.size(), 3u);
  const test::TempDir dir;
  test::JackServer server(dir.Path / "jackd.log", kRate, 256);
  ASSERT_TRUE(server.Ready()) << "jackd did not start";
  const std::filesystem::path log = dir.Path / "jalv.log";
  Jalv jalv(server.Name, log);
  ASSERT_GT(jalv.Pid, 0);
  auto say = [&](const std::string& line) {
    ASSERT_EQ(write(jalv.Input, line.data(), line.size()), static_cast<ssize_t>(line.size()));
  };
  auto logged = [&] { return test::ReadFileText(log); };
  say("presets\n");
  for (const Preset& preset : presets) {
    EXPECT_TRUE(test::WaitFor([&] { return logged().find(preset.Uri) != std::string::npos; }, 10, 50))
        << preset.Uri << " not listed:\n"
        << logged();
  }
  for (const Preset& preset : presets) {
    SCOPED_TRACE(preset.Uri);
    const size_t before = logged().size();
    say("preset " + preset.Uri + "\ncontrols\n");
    // Every value the preset sets, as jalv prints the controls afterwards.
    for (const auto& [symbol, value] : preset.Values) {
      char line[128];
      std::snprintf(line, sizeof(line), "%s = %f", symbol.c_str(), static_cast<double>(value));
      EXPECT_TRUE(test::WaitFor([&] { return logged().find(line, before) != std::string::npos; }, 10, 50))
          << line << " not in:\n"
          << logged().substr(before);
    }
  }
}

}  // namespace
}  // namespace sorvane
