kelv_test(test_single_instance SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_single_instance.cpp
          LIBS kelv_app Qt6::Network)
kelv_test(test_main_window SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_main_window.cpp
          LIBS kelv_app kelv_resources Qt6::Widgets
          LABELS browser)
kelv_test(test_program SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_program.cpp
          LIBS Qt6::Core testsupport
          LABELS browser
          ENV ${KELV_OPENRAZER_ENV})
if(TARGET kelv)
  add_dependencies(test_program kelv program_files)
endif()
if(TARGET openrazer_daemon)
  add_dependencies(test_program openrazer_daemon)
endif()
kelv_test(test_application SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_application.cpp
          LIBS kelv_app kelv_resources Qt6::Widgets
          LABELS browser)
# The program killed during a firmware flash, under a private X server (xdotool answers it).
kelv_test(test_firmware_program SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_firmware_program.cpp
          LIBS kelv_device kelv_update testsupport
          LABELS browser)
if(TARGET kelv)
  add_dependencies(test_firmware_program kelv program_files libdc dcsim)
endif()
