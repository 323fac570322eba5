// SPDX-License-Identifier: GPL-3.0-or-later
// The desktop program's command line and the display check that runs before
// the toolkit starts.
#include "app/CommandLine.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include <QLibraryInfo>

#ifdef SORVANE_HAVE_XCB
#include <xcb/xcb.h>
#endif

#ifndef SORVANE_VERSION
#error "SORVANE_VERSION must be defined by the build"
#endif

namespace sorvane {

namespace {

constexpr const char* kUsage =
    "Usage: sorvane [--latency normal|low] [--help | --version]\n"
    "\n"
    "Sorvane, a real-time voice vocoder: speak into the default sound input and\n"
    "play the keyboard; the voice is sung at the pitch of the keys held and played\n"
    "on the default sound output. It opens one window; only one instance runs.\n"
    "\n"
    "Options:\n"
    "  --latency MODE  normal (default): the song about 100 ms behind the voice;\n"
    "              low: about 30 ms, with small buffers that need a machine\n"
    "              that keeps up\n"
    "  --help      show this help and exit\n"
    "  --version   show the program's name and version and exit\n"
    "\n"
    "Qt's own options, such as -platform and -display, are passed on to Qt.\n";

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
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

std::vector<std::string> Split(const std::string& list, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= list.size()) {
    const size_t end = std::min(list.find(separator, start), list.size());
    if (end > start) parts.push_back(list.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

// Whether an X server answers at display (the xcb plugin's own test: a
// connection that is accepted, authorisation included).
bool X11DisplayAnswers(const std::string& display) {
#ifdef SORVANE_HAVE_XCB
  xcb_connection_t* connection = xcb_connect(display.c_str(), nullptr);
  const bool ok = xcb_connection_has_error(connection) == 0;
  xcb_disconnect(connection);
  return ok;
#else
  (void)display;
  return true;  // cannot tell; the toolkit will
#endif
}

// Whether a Wayland compositor listens at display: a socket name in
// XDG_RUNTIME_DIR, or an absolute path.
bool WaylandDisplayAnswers(const std::string& display) {
  std::string path = display;
  if (path.empty() || path[0] != '/') {
    const std::string runtime = Env("XDG_RUNTIME_DIR");
    if (runtime.empty()) return false;
    path = runtime + "/" + path;
  }
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) return false;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

// Whether one of the folders Qt loads platform plugins from holds its
// Wayland plugin (Debian's qt6-wayland; not every desktop has it).
bool WaylandPluginInstalled() {
  std::vector<std::string> folders;
  for (const std::string& dir : Split(Env("QT_QPA_PLATFORM_PLUGIN_PATH"), ':')) folders.push_back(dir);
  for (const std::string& dir : Split(Env("QT_PLUGIN_PATH"), ':')) folders.push_back(dir + "/platforms");
  folders.push_back(QLibraryInfo::path(QLibraryInfo::PluginsPath).toStdString() + "/platforms");
  for (const std::string& folder : folders) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
      if (entry.path().filename().string().rfind("libqwayland", 0) == 0) return true;
    }
  }
  return false;
}

}  // namespace

std::optional<std::string> DisplayProblem(const std::string& platformOption, const std::string& displayOption) {
  // The platforms Qt tries, in its order: the -platform option, else
  // QT_QPA_PLATFORM, else the desktop's own (Wayland when WAYLAND_DISPLAY
  // names one, X11).
  std::string platforms = platformOption.empty() ? Env("QT_QPA_PLATFORM") : platformOption;
  const bool desktopDefault = platforms.empty();
  if (desktopDefault) platforms = "wayland;xcb";

  std::string reasons;
  for (const std::string& entry : Split(platforms, ';')) {
    const std::string name = entry.substr(0, entry.find(':'));  // "name:plugin-options"
    std::string reason;
    if (name == "xcb") {
      const std::string display = displayOption.empty() ? Env("DISPLAY") : displayOption;
      if (display.empty()) {
        reason = "DISPLAY is not set";
      } else if (!X11DisplayAnswers(display)) {
        reason = "the X display \"" + display + "\" cannot be opened";
      }
    } else if (name.rfind("wayland", 0) == 0) {
      std::string display = Env("WAYLAND_DISPLAY");
      if (display.empty() && desktopDefault) {
        reason = "WAYLAND_DISPLAY is not set";
      } else {
        if (display.empty()) display = "wayland-0";  // the plugin's own default
        if (!WaylandDisplayAnswers(display)) {
          reason = "the Wayland display \"" + display + "\" cannot be opened";
        } else if (!WaylandPluginInstalled()) {
          reason = "Qt's Wayland plugin is not installed";
        }
      }
    }
    // Any other platform (offscreen, vnc, eglfs...) is Qt's to judge.
    if (reason.empty()) return std::nullopt;
    if (!reasons.empty()) reasons += "; ";
    reasons += reason;
  }
  if (reasons.empty()) reasons = "QT_QPA_PLATFORM names no platform";
  return reasons;
}

std::optional<int> HandleCommandLine(int argc, char** argv, LatencyMode& latency) {
  latency = LatencyMode::Normal;
  for (int i = 1; i < argc; ++i) {
    const char* value = nullptr;
    if (std::strcmp(argv[i], "--latency") == 0) {
      value = i + 1 < argc ? argv[++i] : "";
    } else if (std::strncmp(argv[i], "--latency=", 10) == 0) {
      value = argv[i] + 10;
    }
    if (value != nullptr && !ParseLatencyMode(value, latency)) {
      std::fprintf(stderr, "sorvane: --latency takes normal or low, not \"%s\"\n%s", value, kUsage);
      return kExitBadOption;
    }
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("sorvane %s\n", SORVANE_VERSION);
      return 0;
    }
  }
  if (const auto problem = DisplayProblem(QtOption(argc, argv, "platform"), QtOption(argc, argv, "display"))) {
    std::fprintf(stderr, "sorvane: cannot open a window: %s\n", problem->c_str());
    return kExitNoDisplay;
  }
  return std::nullopt;
}

}  // namespace sorvane
