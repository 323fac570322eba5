# SPDX-License-Identifier: GPL-3.0-or-later
# Live mode of the renderer (--live), on the sound devices.
if(TARGET sorvane_sound)
  target_sources(sorvane-render PRIVATE ${CMAKE_CURRENT_LIST_DIR}/LiveRun.cpp ${CMAKE_CURRENT_LIST_DIR}/LiveLoop.cpp)
  target_compile_definitions(sorvane-render PRIVATE SORVANE_HAVE_LIVE)
  target_link_libraries(sorvane-render PRIVATE sorvane_sound sorvane_realtime)
endif()
