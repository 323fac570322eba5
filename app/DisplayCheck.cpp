// SPDX-License-Identifier: GPL-3.0-or-later
// The check, before the toolkit starts, that a window can be opened: a
// display that answers and a platform plugin that Qt has, so that a missing
// display or a mistyped platform ends with one line instead of Qt's abort.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <QJsonArray>
#include <QJsonObject>
#include <QLibraryInfo>
#include <QPluginLoader>

#include "app/CommandLine.h"

#ifdef SORVANE_HAVE_XCB
#include <xcb/xcb.h>
#endif

namespace sorvane {

namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
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

// The folders Qt loads platform plugins from: -platformpluginpath,
// QT_QPA_PLATFORM_PLUGIN_PATH, then the platforms folder of each plugin path.
std::vector<std::string> PlatformPluginFolders(const std::string& pluginPathOption) {
  std::vector<std::string> folders;
  for (const std::string& dir : Split(pluginPathOption, ':')) folders.push_back(dir);
  for (const std::string& dir : Split(Env("QT_QPA_PLATFORM_PLUGIN_PATH"), ':')) folders.push_back(dir);
  for (const std::string& dir : Split(Env("QT_PLUGIN_PATH"), ':')) folders.push_back(dir + "/platforms");
  folders.push_back(QLibraryInfo::path(QLibraryInfo::PluginsPath).toStdString() + "/platforms");
  return folders;
}

// Whether one of the folders holds its Wayland plugin (Debian's
// qt6-wayland; not every desktop has it).
bool WaylandPluginInstalled(const std::vector<std::string>& folders) {
  for (const std::string& folder : folders) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
      if (entry.path().filename().string().rfind("libqwayland", 0) == 0) return true;
    }
  }
  return false;
}

// Whether a platform plugin in the folders answers to name, as Qt matches
// it: the keys in each plugin's metadata, in any case. The metadata is read
// from the file without loading it. Qt ends the program with an abort when
// no plugin answers, so an unknown name must be caught here.
bool PlatformPluginInstalled(const std::vector<std::string>& folders, const std::string& name) {
  const QString wanted = QString::fromStdString(name);
  for (const std::string& folder : folders) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
      if (entry.path().extension() != ".so") continue;
      QPluginLoader plugin(QString::fromStdString(entry.path().string()));
      const QJsonArray keys =
          plugin.metaData().value(QStringLiteral("MetaData")).toObject().value(QStringLiteral("Keys")).toArray();
      for (const QJsonValue& key : keys) {
        if (key.toString().compare(wanted, Qt::CaseInsensitive) == 0) return true;
      }
    }
  }
  return false;
}

}  // namespace

std::optional<std::string> DisplayProblem(const std::string& platformOption, const std::string& displayOption,
                                          const std::string& pluginPathOption) {
  // The platforms Qt tries, in its order: the -platform option, else
  // QT_QPA_PLATFORM, else the desktop's own (Wayland when WAYLAND_DISPLAY
  // names one, X11).
  std::string platforms = platformOption.empty() ? Env("QT_QPA_PLATFORM") : platformOption;
  const bool desktopDefault = platforms.empty();
  if (desktopDefault) platforms = "wayland;xcb";
  const std::vector<std::string> pluginFolders = PlatformPluginFolders(pluginPathOption);

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
        } else if (!WaylandPluginInstalled(pluginFolders)) {
          reason = "Qt's Wayland plugin is not installed";
        }
      }
    } else if (!PlatformPluginInstalled(pluginFolders, name)) {
      reason = "Qt has no platform plugin \"" + name + "\"";
    }
    // Whether an installed platform (offscreen, vnc, eglfs...) can start is
    // Qt's to judge.
    if (reason.empty()) return std::nullopt;
    if (!reasons.empty()) reasons += "; ";
    reasons += reason;
  }
  if (reasons.empty()) reasons = "QT_QPA_PLATFORM names no platform";
  return reasons;
}

}  // namespace sorvane
