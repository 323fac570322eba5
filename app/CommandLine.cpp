// SPDX-License-Identifier: GPL-3.0-or-later
// The desktop program's command line.
#include "app/CommandLine.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <utility>
#include <vector>

#include <QCommandLineParser>
#include <QStringList>

#include "keyboard/MidiNotes.h"
#include "synth/Synth.h"

#ifndef SORVANE_VERSION
#error "SORVANE_VERSION must be defined by the build"
#endif

namespace sorvane {

namespace {

constexpr const char* kUsage =
    "Usage: sorvane [OPTION]...\n"
    "\n"
    "Sorvane, a real-time voice vocoder: speak into the sound input and play the\n"
    "keyboard (on screen, the PC keyboard or MIDI); the voice is sung at the pitch\n"
    "of the keys held. It opens one window; only one instance runs. Settings are\n"
    "kept in $XDG_CONFIG_HOME/sorvane/sorvane.conf.\n"
    "\n"
    "Options (given here, they hold for this run and are not saved):\n"
    "  --sound-system SYSTEM  auto (default), pulse (PulseAudio or PipeWire) or jack\n"
    "  --input-device NAME    the source (PulseAudio) or capture port (JACK) to use\n"
    "  --output-device NAME   the sink (PulseAudio) or playback port (JACK) to use\n"
    "  --list-devices         list what each sound server offers and exit\n"
    "  --latency MODE         normal (default): the song about 85 to 110 ms behind\n"
    "                         the voice; low: about 20 to 35 ms, with small buffers\n"
    "                         that need a machine that keeps up\n"
    "  --midi-channel N       play MIDI channel N (1-16) only, or all (default)\n"
    "  --output-level DB      the song's level before it is clipped, -24 to 6 dB\n"
    "  --bend-range N         how far MIDI pitch bend bends, 1 to 12 semitones\n"
    "                         (default 2)\n"
    "  --glide MS             a new note glides from the last one's pitch in MS\n"
    "                         milliseconds, 0 (default: no glide) to 1000\n"
    "  --velocity             MIDI notes play at their velocity (default: all at\n"
    "                         full level)\n"
    "  --no-restore           start with the start-up settings and save nothing\n"
    "  -h, --help             show this help and exit\n"
    "  -v, --version          show the program's name and version and exit\n"
    "\n"
    "Qt's own options, such as -platform and -display, are passed on to Qt.\n"
    "Exit status: 0 closed normally, 1 no window could be opened or another\n"
    "instance did not answer, 2 a bad option.\n";

// Qt's own options (the application classes' and the X11 plugin's), given
// as -name, --name or -name=value: those that take the next argument, and
// those that do not.
constexpr const char* kQtOptionsWithValue[] = {"platform",
                                               "platformpluginpath",
                                               "platformtheme",
                                               "plugin",
                                               "qwindowgeometry",
                                               "qwindowicon",
                                               "qwindowtitle",
                                               "session",
                                               "style",
                                               "stylesheet",
                                               "display",
                                               "geometry",
                                               "title",
                                               "name",
                                               "fn",
                                               "font",
                                               "bg",
                                               "background",
                                               "fg",
                                               "foreground",
                                               "btn",
                                               "button",
                                               "visual",
                                               "ncols",
                                               "im",
                                               "inputstyle",
                                               "qmljsdebugger"};
constexpr const char* kQtFlags[] = {"reverse", "widgetcount", "nograb", "dograb", "sync", "cmap", "testability"};

bool Listed(const std::string& name, const auto& list) {
  return std::any_of(std::begin(list), std::end(list), [&](const char* entry) { return name == entry; });
}

// The value of a Qt option given as "-name value" or "--name value".
std::string QtOption(int argc, char** argv, const char* name) {
  for (int i = 1; i + 1 < argc; ++i) {
    const char* arg = argv[i];
    if (std::strncmp(arg, "--", 2) == 0) ++arg;
    if (arg[0] == '-' && std::strcmp(arg + 1, name) == 0) return argv[i + 1];
  }
  return {};
}

}  // namespace

namespace {

// The option's message and the usage on stderr.
int BadOption(const QString& message) {
  std::fprintf(stderr, "sorvane: %s\n%s", qPrintable(message), kUsage);
  return kExitBadOption;
}

// The arguments that are the program's own, Qt's left out.
QStringList OwnArguments(int argc, char** argv) {
  QStringList own{QStringLiteral("sorvane")};
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.size() > 1 && arg[0] == '-' && arg != "--") {
      std::string name = arg.substr(arg[1] == '-' ? 2 : 1);
      const size_t equals = name.find('=');
      const bool inlineValue = equals != std::string::npos;
      name = name.substr(0, equals);
      if (Listed(name, kQtOptionsWithValue)) {
        if (!inlineValue) ++i;
        continue;
      }
      if (Listed(name, kQtFlags)) continue;
    }
    own << QString::fromLocal8Bit(argv[i]);
  }
  return own;
}

}  // namespace

std::optional<int> HandleCommandLine(int argc, char** argv, CommandLineOptions& options) {
  options = CommandLineOptions{};
  QCommandLineParser parser;
  parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  const QCommandLineOption system(QStringLiteral("sound-system"), QString(), QStringLiteral("SYSTEM"));
  const QCommandLineOption input(QStringLiteral("input-device"), QString(), QStringLiteral("NAME"));
  const QCommandLineOption output(QStringLiteral("output-device"), QString(), QStringLiteral("NAME"));
  const QCommandLineOption list(QStringLiteral("list-devices"));
  const QCommandLineOption latency(QStringLiteral("latency"), QString(), QStringLiteral("MODE"));
  const QCommandLineOption channel(QStringLiteral("midi-channel"), QString(), QStringLiteral("N"));
  const QCommandLineOption level(QStringLiteral("output-level"), QString(), QStringLiteral("DB"));
  const QCommandLineOption bendRange(QStringLiteral("bend-range"), QString(), QStringLiteral("N"));
  const QCommandLineOption glide(QStringLiteral("glide"), QString(), QStringLiteral("MS"));
  const QCommandLineOption velocity(QStringLiteral("velocity"));
  const QCommandLineOption noRestore(QStringLiteral("no-restore"));
  const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
  const QCommandLineOption version(QStringList{QStringLiteral("v"), QStringLiteral("version")});
  parser.addOptions(
      {system, input, output, list, latency, channel, level, bendRange, glide, velocity, noRestore, help, version});
  if (!parser.parse(OwnArguments(argc, argv))) return BadOption(parser.errorText());
  if (!parser.positionalArguments().isEmpty()) {
    return BadOption(QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().constFirst()));
  }
  if (parser.isSet(help)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (parser.isSet(version)) {
    std::printf("sorvane %s\n", SORVANE_VERSION);
    return 0;
  }
  if (parser.isSet(system)) {
    const QString value = parser.value(system);
    SoundChoice choice = SoundChoice::Automatic;
    if (value == QLatin1String("pulse")) {
      choice = SoundChoice::Pulse;
    } else if (value == QLatin1String("jack")) {
      choice = SoundChoice::Jack;
    } else if (value != QLatin1String("auto")) {
      return BadOption(QStringLiteral("--sound-system takes auto, pulse or jack, not \"%1\"").arg(value));
    }
    options.System = choice;
  }
  for (const auto& [option, target] :
       {std::pair{&input, &options.InputDevice}, std::pair{&output, &options.OutputDevice}}) {
    if (!parser.isSet(*option)) continue;
    const QString value = parser.value(*option);
    if (value.isEmpty()) return BadOption(QStringLiteral("--%1 needs a device name").arg(option->names().constFirst()));
    *target = value.toStdString();
  }
  if (parser.isSet(latency)) {
    const QString value = parser.value(latency);
    LatencyMode mode = LatencyMode::Normal;
    if (!ParseLatencyMode(value.toUtf8().constData(), mode)) {
      return BadOption(QStringLiteral("--latency takes normal or low, not \"%1\"").arg(value));
    }
    options.Latency = mode;
  }
  if (parser.isSet(channel)) {
    const QString value = parser.value(channel);
    bool ok = false;
    const int n = value.toInt(&ok);
    if (value == QLatin1String("all")) {
      options.MidiChannel = kMidiAllChannels;
    } else if (ok && n >= 1 && n <= kMidiChannels && !value.startsWith(QLatin1Char('+'))) {
      options.MidiChannel = n - 1;
    } else {
      return BadOption(QStringLiteral("--midi-channel takes all or a channel from 1 to 16, not \"%1\"").arg(value));
    }
  }
  if (parser.isSet(level)) {
    const QString value = parser.value(level);
    bool ok = false;
    const int db = value.toInt(&ok);
    if (!ok || db < kOutputLevelMinDb || db > kOutputLevelMaxDb) {
      return BadOption(QStringLiteral("--output-level takes whole decibels from -24 to 6, not \"%1\"").arg(value));
    }
    options.OutputLevelDb = db;
  }
  if (parser.isSet(bendRange)) {
    const QString value = parser.value(bendRange);
    bool ok = false;
    const int semitones = value.toInt(&ok);
    if (!ok || semitones < kMinBendRange || semitones > kMaxBendRange) {
      return BadOption(QStringLiteral("--bend-range takes whole semitones from 1 to 12, not \"%1\"").arg(value));
    }
    options.BendRange = semitones;
  }
  if (parser.isSet(glide)) {
    const QString value = parser.value(glide);
    bool ok = false;
    const int ms = value.toInt(&ok);
    if (!ok || ms < 0 || ms > kMaxGlideMs) {
      return BadOption(QStringLiteral("--glide takes whole milliseconds from 0 to 1000, not \"%1\"").arg(value));
    }
    options.GlideMs = ms;
  }
  options.Velocity = parser.isSet(velocity);
  options.ListDevices = parser.isSet(list);
  options.NoRestore = parser.isSet(noRestore);
  if (options.ListDevices) return std::nullopt;
  if (const auto problem = DisplayProblem(QtOption(argc, argv, "platform"), QtOption(argc, argv, "display"),
                                          QtOption(argc, argv, "platformpluginpath"))) {
    std::fprintf(stderr, "sorvane: cannot open a window: %s\n", problem->c_str());
    return kExitNoDisplay;
  }
  return std::nullopt;
}

}  // namespace sorvane
