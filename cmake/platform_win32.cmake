# Windows: the ICMP helper API, Windows Sockets, the performance counter and the system timer's resolution; the tray
# program zarta.exe.
set(ZARTA_PLATFORM_SOURCES platform/system_win32.cpp platform/waits_win32.cpp platform/raw_socket_win32.cpp
                           platform/icmp_helper_win32.cpp)
set(ZARTA_PLATFORM_LIBRARIES ws2_32 iphlpapi winmm)
# The runtime is linked in, so that every program needs only DLLs that ship with Windows.
add_link_options(-static -static-libgcc -static-libstdc++)
add_compile_definitions(WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0601)

function(zarta_front_ends)
  if(EXISTS ${CMAKE_SOURCE_DIR}/cmake/zarta_exe.cmake)
    include(${CMAKE_SOURCE_DIR}/cmake/zarta_exe.cmake)
  endif()
endfunction()
