# SPDX-License-Identifier: GPL-3.0-or-later
# Every package the build uses, looked up once here. Those found through
# pkg-config are global imported targets (PkgConfig::NAME) that any folder
# links by that name; the CMake packages' targets (Qt6::Widgets,
# GTest::gtest, ...) are seen by every folder below this one. What is looked
# up follows the build options: a package an option leaves out is never
# asked for. docs/install.md says why each one is there.
find_package(PkgConfig REQUIRED)

# Converting WAV files of other rates; the voice and the song between a JACK
# server's or a plugin host's rate and the engine's.
pkg_check_modules(SAMPLERATE REQUIRED IMPORTED_TARGET GLOBAL samplerate)

# The fuzz tree builds the file readers alone.
if(SORVANE_FUZZ)
  return()
endif()

find_package(Threads REQUIRED)

# Real-time priority through RealtimeKit on the system D-Bus.
pkg_check_modules(DBUS REQUIRED IMPORTED_TARGET GLOBAL dbus-1)

# The sound servers' client libraries: PulseAudio's protocol (libpulse),
# JACK for sound and MIDI (libjack), and MIDI on the ALSA sequencer
# (libasound).
if(SORVANE_BUILD_SOUND)
  pkg_check_modules(PULSE REQUIRED IMPORTED_TARGET GLOBAL libpulse)
  pkg_check_modules(JACK REQUIRED IMPORTED_TARGET GLOBAL jack)
  pkg_check_modules(ALSA REQUIRED IMPORTED_TARGET GLOBAL alsa)
endif()

# The X server's key state and the display check of the desktop program.
if(SORVANE_BUILD_APP AND SORVANE_USE_XCB)
  pkg_check_modules(XCB REQUIRED IMPORTED_TARGET GLOBAL xcb)
endif()

# The LV2 plugin is built only when lv2-dev is installed; its tests host it
# through lilv.
if(SORVANE_BUILD_PLUGIN)
  pkg_check_modules(LV2 QUIET IMPORTED_TARGET GLOBAL lv2)
  if(NOT LV2_FOUND)
    message(STATUS "lv2-dev not found: the LV2 plugin is not built")
  elseif(BUILD_TESTING)
    pkg_check_modules(LILV REQUIRED IMPORTED_TARGET GLOBAL lilv-0)
  endif()
endif()

# Qt 6 for the desktop program and the key widgets, and QTest for their tests.
if(SORVANE_BUILD_APP)
  set(sorvane_qt_components Widgets Network)
  if(BUILD_TESTING)
    list(APPEND sorvane_qt_components Test)
  endif()
  find_package(Qt6 REQUIRED COMPONENTS ${sorvane_qt_components})
endif()

# The tests: GoogleTest, and Python to cross-check the files Sorvane writes.
if(BUILD_TESTING)
  find_package(GTest REQUIRED)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
endif()

# The benchmarks are built only when Google Benchmark is installed.
if(SORVANE_BUILD_BENCH)
  find_package(benchmark QUIET)
  if(NOT benchmark_FOUND)
    message(STATUS "Google Benchmark not found: the benchmarks are not built")
  endif()
endif()
