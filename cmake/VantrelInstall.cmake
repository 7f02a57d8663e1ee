# Where the install tree puts things, and files that name installed paths.
#
# Folders follow GNUInstallDirs; the systemd, sysusers.d and polkit folders are where those programs
# look under /usr (and /usr/local for the first two), relative to the prefix unless given absolute.
include(GNUInstallDirs)

set(VANTREL_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING "Where the helper's systemd units are installed")
set(VANTREL_SYSUSERS_DIR "lib/sysusers.d" CACHE STRING "Where the sysusers.d file of the group vantrel is installed")
set(VANTREL_POLKIT_ACTIONS_DIR "${CMAKE_INSTALL_DATADIR}/polkit-1/actions" CACHE STRING
    "Where the polkit action of the helper is installed")
# The programs the application starts (the helper, the integrity checker) lie here, not on the PATH.
set(VANTREL_PRIVATE_PROGRAM_DIR "${CMAKE_INSTALL_LIBEXECDIR}/vantrel")

# The private program folder as seen from the folder of the application's program, for finding the
# helper and the checker from wherever the tree was installed.
file(RELATIVE_PATH VANTREL_PRIVATE_PROGRAMS_FROM_BIN "/prefix/${CMAKE_INSTALL_BINDIR}" "/prefix/${VANTREL_PRIVATE_PROGRAM_DIR}")
if (IS_ABSOLUTE "${CMAKE_INSTALL_BINDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_LIBEXECDIR}")
  file(RELATIVE_PATH VANTREL_PRIVATE_PROGRAMS_FROM_BIN "${CMAKE_INSTALL_FULL_BINDIR}"
       "${CMAKE_INSTALL_FULL_LIBEXECDIR}/vantrel")
endif ()

# vantrel_install_configured(TEMPLATE DESTINATION)
# Installs TEMPLATE with its @VANTREL_HELPER_INSTALLED_PATH@ replaced by where the helper lands.
# The prefix is only known when installing (`cmake --install --prefix DIR` and CPack choose it after
# configuring), so the file is made then; DESTINATION is relative to that prefix unless absolute.
# The file lands as TEMPLATE's name without its ".in".
function(vantrel_install_configured template destination)
  get_filename_component(name "${template}" NAME)
  string(REGEX REPLACE "\\.in$" "" name "${name}")
  get_filename_component(template "${template}" ABSOLUTE)
  install(CODE "
    # A folder of its own for each destination, so that installs running at once do not share the file.
    string(MD5 vantrel_key \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
    set(vantrel_made \"${CMAKE_CURRENT_BINARY_DIR}/install-time/\${vantrel_key}/${name}\")
    set(vantrel_libexec \"${CMAKE_INSTALL_LIBEXECDIR}\")
    if (NOT IS_ABSOLUTE \"\${vantrel_libexec}\")
      set(vantrel_libexec \"\${CMAKE_INSTALL_PREFIX}/\${vantrel_libexec}\")
    endif ()
    set(VANTREL_HELPER_INSTALLED_PATH \"\${vantrel_libexec}/vantrel/VantrelHelper\")
    set(vantrel_destination \"${destination}\")
    if (NOT IS_ABSOLUTE \"\${vantrel_destination}\")
      set(vantrel_destination \"\${CMAKE_INSTALL_PREFIX}/\${vantrel_destination}\")
    endif ()
    configure_file(\"${template}\" \"\${vantrel_made}\" @ONLY)
    file(INSTALL DESTINATION \"\${vantrel_destination}\" TYPE FILE FILES \"\${vantrel_made}\")
  ")
endfunction()
