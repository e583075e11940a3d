# The Windows executable: a GUI-subsystem program (no console) with a wide
# entry point, its icons, version block and manifest. Included by
# host/CMakeLists.txt when building for Windows.

enable_language(RC)
find_package(Python3 REQUIRED COMPONENTS Interpreter)

# One version for the tooltip and the version block: the one in tray_window.h.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/../tray_window.h kv_version_line
     REGEX "kServiceVersion\\[\\] = \"[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+\"")
string(REGEX MATCH "[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+" KV_VERSION "${kv_version_line}")
if(NOT KV_VERSION)
  message(FATAL_ERROR "kServiceVersion not found in host/tray_window.h")
endif()
string(REPLACE "." "," KV_VERSION_COMMAS ${KV_VERSION})

set(kv_res_dir ${CMAKE_CURRENT_BINARY_DIR}/resources)
configure_file(${CMAKE_CURRENT_LIST_DIR}/service_resources.rc.in ${kv_res_dir}/service_resources.rc @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/kestrav-service.manifest.in
               ${kv_res_dir}/kestrav-service.manifest @ONLY)

set(kv_icons tray_ok.ico tray_expires_30.ico tray_expires_90.ico tray_unreadable.ico)
list(TRANSFORM kv_icons PREPEND ${kv_res_dir}/)
add_custom_command(OUTPUT ${kv_icons}
  COMMAND Python3::Interpreter ${CMAKE_CURRENT_LIST_DIR}/make_tray_icons.py ${kv_res_dir}
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/make_tray_icons.py
  COMMENT "Drawing the tray icons")
set_source_files_properties(${kv_res_dir}/service_resources.rc PROPERTIES
  OBJECT_DEPENDS "${kv_icons};${kv_res_dir}/kestrav-service.manifest")

add_executable(kestrav-service WIN32 ${CMAKE_CURRENT_LIST_DIR}/../main_win32.cpp
  ${kv_res_dir}/service_resources.rc ${kv_icons})
target_include_directories(kestrav-service PRIVATE ${kv_res_dir})
# wWinMain: the command line arrives as wide text. -s: no symbol table in
# the program users install.
target_link_options(kestrav-service PRIVATE -municode -s)

# The installer, build-windows/kestrav-setup-<version>.exe (installer.nsi).
find_program(KV_MAKENSIS makensis)
if(KV_MAKENSIS)
  set(kv_setup ${CMAKE_BINARY_DIR}/kestrav-setup-${KV_VERSION}.exe)
  add_custom_command(OUTPUT ${kv_setup}
    COMMAND ${KV_MAKENSIS} -V2 -DVERSION=${KV_VERSION}
            -DSERVICE_EXE=$<TARGET_FILE:kestrav-service> -DCERT_EXE=$<TARGET_FILE:kestrav-cert>
            -DICON=${kv_res_dir}/tray_ok.ico -DOUTFILE=${kv_setup} ${CMAKE_CURRENT_LIST_DIR}/installer.nsi
    DEPENDS kestrav-service kestrav-cert ${CMAKE_CURRENT_LIST_DIR}/installer.nsi
            ${kv_res_dir}/tray_ok.ico
    COMMENT "Building the installer kestrav-setup-${KV_VERSION}.exe")
  add_custom_target(kestrav-setup ALL DEPENDS ${kv_setup})
else()
  message(STATUS "No makensis: the Windows build makes no installer")
endif()
