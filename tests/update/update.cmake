# Update transport: HTTP worker, package format and reader, downloader,
# installers, update check. Packages are built by the packer (kelvpack).
kelv_test(tst_package SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_package.cpp
  LIBS kelv_update)
add_dependencies(tst_package kelvpack)
kelv_test(tst_downloader SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_downloader.cpp
  LIBS kelv_update Qt6::Network)
kelv_test(tst_http_worker SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_http_worker.cpp
  LIBS kelv_update Qt6::Network)
kelv_test(tst_installers SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_installers.cpp
  LIBS kelv_update Qt6::Widgets)
kelv_test(tst_update_check SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_update_check.cpp
  LIBS kelv_update Qt6::Network Qt6::Widgets)
kelv_test(tst_update_dialog SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_update_dialog.cpp
  LIBS kelv_update kelv_device kelv_resources Qt6::Network Qt6::Widgets)
add_dependencies(tst_update_dialog kelvpack libdc dcsim)
kelv_test(tst_startup_check SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_startup_check.cpp
  LIBS kelv_update Qt6::Widgets)
kelv_test(tst_update_transport SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_update_transport.cpp
  LIBS kelv_update Qt6::Network)
