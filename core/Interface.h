// SPDX-License-Identifier: GPL-3.0-or-later
// The base of the interfaces between the layers (sound devices, the
// engine's host, key state, MIDI): an object behind one is owned in one
// place, never copied, and destroyed through the interface.
#pragma once

namespace sorvane {

class Interface {
 public:
  Interface() = default;
  Interface(const Interface&) = delete;
  Interface& operator=(const Interface&) = delete;
  virtual ~Interface() = default;
};

}  // namespace sorvane
