# Key input logic (no toolkit) and the Qt key buttons. Included by this
# folder's CMakeLists.txt.
add_library(sorvane_keyinput STATIC
  ${CMAKE_CURRENT_LIST_DIR}/KeyInput.cpp
  ${CMAKE_CURRENT_LIST_DIR}/KeyboardLayout.cpp)
target_include_directories(sorvane_keyinput PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(sorvane_keyinput PUBLIC sorvane_keytable)

if(SORVANE_BUILD_APP)
  find_package(Qt6 REQUIRED COMPONENTS Widgets)
  find_package(PkgConfig QUIET)
  if(PkgConfig_FOUND)
    pkg_check_modules(SORVANE_XCB QUIET IMPORTED_TARGET xcb)
  endif()

  add_library(sorvane_keyboard_widgets STATIC
    ${CMAKE_CURRENT_LIST_DIR}/ColorButton.h
    ${CMAKE_CURRENT_LIST_DIR}/ColorButton.cpp
    ${CMAKE_CURRENT_LIST_DIR}/KeyEvents.cpp)
  set_target_properties(sorvane_keyboard_widgets PROPERTIES AUTOMOC ON)
  target_include_directories(sorvane_keyboard_widgets PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(sorvane_keyboard_widgets PUBLIC sorvane_keyinput Qt6::Widgets)
  if(SORVANE_XCB_FOUND)
    # The real "is this key down" query of the X server.
    target_link_libraries(sorvane_keyboard_widgets PRIVATE PkgConfig::SORVANE_XCB)
    target_compile_definitions(sorvane_keyboard_widgets PRIVATE SORVANE_HAVE_XCB)
  endif()
endif()
