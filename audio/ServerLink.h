// SPDX-License-Identifier: GPL-3.0-or-later
// A connection to a sound server that can go away and be renewed, as the
// window's audio backend and the renderer's sound system both have it, so
// that one watch (WatchSoundServer in engine/ServerWatch.h) serves both.
#pragma once

#include <string>

#include "core/Interface.h"

namespace sorvane {

class ServerLink : public Interface {
 public:
  // The server went away under the devices: one atomic load, any thread.
  // True from the moment the connection failed until Reconnect succeeds.
  virtual bool ServerLost() const = 0;
  // Drops the old connection and makes a new one, for the same device
  // objects to be opened, queued and started on; called only once every
  // buffer is back and both devices are closed. False with a short reason
  // while the server is not there yet; returns within tens of milliseconds.
  virtual bool Reconnect(std::string& reason) = 0;
};

}  // namespace sorvane
