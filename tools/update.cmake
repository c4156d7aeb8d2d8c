# The packer for update packages and the Updater that installs a client package.
kelv_program(kelvpack SOURCES ${CMAKE_CURRENT_LIST_DIR}/kelvpack/main.cpp
  LIBS kelv_update Qt6::Core)
kelv_program(Updater SOURCES ${CMAKE_CURRENT_LIST_DIR}/updater/main.cpp
  ${CMAKE_CURRENT_LIST_DIR}/updater/updater_core.cpp ${CMAKE_CURRENT_LIST_DIR}/updater/updater_core.h
  LIBS kelv_platform Qt6::Core)
