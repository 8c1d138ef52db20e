# zarta.exe, the tray program: the trace window and start, the tray shell, the resources.
find_package(Python3 REQUIRED COMPONENTS Interpreter)

# The icon is drawn by a script at build time, so the repository holds no binary image. The
# resource script is compiled by windres straight into an object file, which any program that
# shows Zarta's windows (zarta.exe and its tests) links.
set(ZARTA_ICON ${CMAKE_BINARY_DIR}/resources/tray.ico)
set(ZARTA_RESOURCE_OBJECT ${CMAKE_BINARY_DIR}/resources/zarta_rc.o CACHE INTERNAL "")
add_custom_command(OUTPUT ${ZARTA_ICON}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/resources
  COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/resources/make_icon.py ${ZARTA_ICON}
  DEPENDS ${CMAKE_SOURCE_DIR}/resources/make_icon.py)
add_custom_command(OUTPUT ${ZARTA_RESOURCE_OBJECT}
  COMMAND ${CMAKE_RC_COMPILER} -I ${CMAKE_BINARY_DIR}/resources -I ${CMAKE_SOURCE_DIR}/resources
          -I ${CMAKE_SOURCE_DIR} -O coff -o ${ZARTA_RESOURCE_OBJECT} ${CMAKE_SOURCE_DIR}/resources/zarta.rc
  DEPENDS ${CMAKE_SOURCE_DIR}/resources/zarta.rc ${CMAKE_SOURCE_DIR}/resources/resource.h
          ${CMAKE_SOURCE_DIR}/resources/zarta.manifest ${ZARTA_ICON})
add_custom_target(zarta_resources DEPENDS ${ZARTA_RESOURCE_OBJECT})

add_library(zarta_gui STATIC
  display/trace_window_win32.cpp
  display/trace_start_win32.cpp
  display/reverse_lookup_win32.cpp
  shell/startup_win32.cpp
  shell/tray_window_win32.cpp
  shell/dialogs_win32.cpp)
target_link_libraries(zarta_gui PUBLIC zarta_display user32 gdi32 shell32 ws2_32)
target_compile_options(zarta_gui PRIVATE ${ZARTA_WARNINGS})

add_executable(zarta WIN32 shell/main_win32.cpp ${ZARTA_RESOURCE_OBJECT})
add_dependencies(zarta zarta_resources)
target_link_libraries(zarta PRIVATE zarta_gui)
target_compile_options(zarta PRIVATE ${ZARTA_WARNINGS})
