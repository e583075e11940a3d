# What the Linux package installs (scripts/build-deb.sh stages it with
# DESTDIR, prefix /usr): the programs in lib/kestrav with links on the search
# path, the systemd user unit and its preset, the udev rules for the readers
# and the documentation. The rules are generated at build time from the
# installed libfprint's device list; without that list they are left out
# with a note, so that a build without libfprint still configures.
include(GNUInstallDirs)

set(KV_LIB_DIR ${CMAKE_INSTALL_PREFIX}/lib/kestrav)
set(KV_BIN_DIR ${CMAKE_INSTALL_FULL_BINDIR})
set(KV_DOC_DIR ${CMAKE_INSTALL_FULL_DATAROOTDIR}/doc/kestrav)
set(packaging ${CMAKE_SOURCE_DIR}/packaging)
set(staged ${CMAKE_BINARY_DIR}/packaging)

set(kv_programs kestrav-service)
set(kv_programs_man ${packaging}/kestrav-service.1)
# The certificate tool is built on its own branch of work; install it when it
# is there.
if(TARGET kestrav-cert)
  list(APPEND kv_programs kestrav-cert)
  list(APPEND kv_programs_man ${packaging}/kestrav-cert.1)
endif()
install(TARGETS ${kv_programs} RUNTIME DESTINATION lib/kestrav)
install(FILES ${kv_programs_man} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
file(MAKE_DIRECTORY ${staged}/bin)
foreach(program ${kv_programs})
  # A relative link: the service finds server.pem through its real path.
  file(CREATE_LINK ../lib/kestrav/${program} ${staged}/bin/${program} SYMBOLIC)
  install(FILES ${staged}/bin/${program} DESTINATION ${CMAKE_INSTALL_BINDIR})
endforeach()

configure_file(${packaging}/kestrav.service.in ${staged}/kestrav.service @ONLY)
configure_file(${packaging}/kestrav-user-certificate.in ${staged}/kestrav-user-certificate @ONLY)
install(FILES ${staged}/kestrav.service DESTINATION lib/systemd/user)
install(FILES ${packaging}/kestrav.preset DESTINATION lib/systemd/user-preset RENAME 80-kestrav.preset)
install(PROGRAMS ${staged}/kestrav-user-certificate DESTINATION lib/kestrav)
install(FILES ${CMAKE_SOURCE_DIR}/docs/linux-package.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/kestrav)

execute_process(COMMAND ${packaging}/make-udev-rules.sh --source
  OUTPUT_VARIABLE hwdb OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE no_hwdb)
if(no_hwdb)
  message(STATUS "No libfprint device list (libfprint-2-2): the install leaves the udev rules out")
else()
  set(rules ${staged}/70-kestrav-readers.rules)
  add_custom_command(OUTPUT ${rules}
    COMMAND ${packaging}/make-udev-rules.sh ${hwdb} > ${rules}
    DEPENDS ${packaging}/make-udev-rules.sh ${hwdb}
    COMMENT "udev rules from libfprint's device list")
  add_custom_target(kestrav-udev-rules ALL DEPENDS ${rules})
  install(FILES ${rules} DESTINATION lib/udev/rules.d)
endif()
