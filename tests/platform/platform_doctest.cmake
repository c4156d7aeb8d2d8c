# The platform seam on the real system, from one source for Linux (Xvfb) and
# Windows (Wine); a doctest suite so that it also runs as a Windows program.
set(key_injection ${CMAKE_CURRENT_LIST_DIR}/key_injection.h
  ${CMAKE_CURRENT_LIST_DIR}/key_injection_linux.cpp ${CMAKE_CURRENT_LIST_DIR}/key_injection_win.cpp)
kelv_drop_other_platforms(key_injection)
add_executable(seam_helper ${CMAKE_CURRENT_LIST_DIR}/seam_helper.cpp)
target_link_libraries(seam_helper PRIVATE kelv_warnings)
if(WIN32)
  set(injection_libs user32)
else()
  set(injection_libs X11 Xtst)
endif()
kelv_doctest(test_platform_seam DISPLAY
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_platform_seam.cpp ${key_injection}
  LIBS kelv_platform ${injection_libs})
add_dependencies(test_platform_seam seam_helper)

kelv_doctest(test_shell_seam DISPLAY
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_shell_seam.cpp
  LIBS kelv_platform)
add_dependencies(test_shell_seam seam_helper)
