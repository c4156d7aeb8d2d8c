# The packer for update packages and the Updater that installs a client package.
kelv_program(kelvpack SOURCES ${CMAKE_CURRENT_LIST_DIR}/kelvpack/main.cpp
  LIBS kelv_update Qt6::Core)
# The Updater needs Qt Core only: it compiles the install code it shares with
# the program (journal, backup, roll-back, file modes).
kelv_program(Updater SOURCES ${CMAKE_CURRENT_LIST_DIR}/updater/main.cpp
  ${CMAKE_CURRENT_LIST_DIR}/updater/updater_core.cpp ${CMAKE_CURRENT_LIST_DIR}/updater/updater_core.h
  ${CMAKE_SOURCE_DIR}/update/client_install.cpp ${CMAKE_SOURCE_DIR}/update/client_install.h
  ${CMAKE_SOURCE_DIR}/update/file_modes.cpp ${CMAKE_SOURCE_DIR}/update/file_modes.h
  LIBS kelv_platform Qt6::Core)
