# SPDX-License-Identifier: GPL-3.0-or-later
# The real sound card. Included from devices/CMakeLists.txt when the PortAudio
# device layer is built.

# sorvane_portaudio: capture and playback devices on PortAudio streams.
find_package(PkgConfig REQUIRED)
pkg_check_modules(PORTAUDIO REQUIRED IMPORTED_TARGET portaudio-2.0)
add_library(sorvane_portaudio STATIC ${CMAKE_CURRENT_LIST_DIR}/PortAudioDevices.cpp)
target_link_libraries(sorvane_portaudio PUBLIC sorvane_events PRIVATE PkgConfig::PORTAUDIO ${CMAKE_DL_LIBS})
