# The service host proper and the kestrav-service executable. Included by
# host/CMakeLists.txt; the executable lands in <build>/host/kestrav-service.

add_library(kv_host STATIC
  ${CMAKE_CURRENT_LIST_DIR}/certificate_check.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tray_window.cpp
  ${CMAKE_CURRENT_LIST_DIR}/service_thread.cpp
  ${CMAKE_CURRENT_LIST_DIR}/service_entry.cpp)
# kv_api is defined later (api/); the name is resolved when the build is
# generated. The endpoints in turn call the certificate refresh of kv_host, so
# the two static libraries depend on each other (linked as a group).
target_link_libraries(kv_host PUBLIC kv_hostcore kv_platform kv_net kv_api
  OpenSSL::SSL OpenSSL::Crypto Threads::Threads)

add_executable(kestrav-service ${CMAKE_CURRENT_LIST_DIR}/main_posix.cpp)
target_link_libraries(kestrav-service PRIVATE kv_host)
