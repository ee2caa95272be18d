# Install rules: the filter goes where the scheduler looks for filters, the
# PPD where cups-driverd looks for models, so `lpinfo -m` lists the driver
# and `lpadmin -m quorvel/quorvel.ppd` makes a queue from it.
#
# The destinations are absolute, taken from cups-config when configuring,
# because CUPS looks in its own directories whatever CMAKE_INSTALL_PREFIX
# says. DESTDIR is still honoured (CMake puts it in front of absolute
# destinations), and packagers whose CUPS lives elsewhere set
# QUORVEL_CUPS_SERVERBIN and QUORVEL_CUPS_DATADIR.

find_program(QUORVEL_CUPS_CONFIG cups-config)

# quorvel_cups_dir: one directory from cups-config, or fallback when there
# is no cups-config (the directories of a stock Linux CUPS).
function(quorvel_cups_dir flag fallback out)
  set(dir "")
  if(QUORVEL_CUPS_CONFIG)
    execute_process(COMMAND "${QUORVEL_CUPS_CONFIG}" ${flag}
                    OUTPUT_VARIABLE dir OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE rc ERROR_QUIET)
    if(NOT rc EQUAL 0)
      set(dir "")
    endif()
  endif()
  if(dir STREQUAL "")
    set(dir "${fallback}")
  endif()
  set(${out} "${dir}" PARENT_SCOPE)
endfunction()

quorvel_cups_dir(--serverbin /usr/lib/cups _quorvel_serverbin)
quorvel_cups_dir(--datadir /usr/share/cups _quorvel_datadir)

set(QUORVEL_CUPS_SERVERBIN "${_quorvel_serverbin}" CACHE PATH
    "CUPS ServerBin directory; the filter is installed in its filter/ folder")
set(QUORVEL_CUPS_DATADIR "${_quorvel_datadir}" CACHE PATH
    "CUPS DataDir directory; the PPD is installed in its model/ folder")

# The scheduler refuses filters that others can write to, and runs them as
# an unprivileged user who must be able to execute them.
install(TARGETS rastertoquorvel
        RUNTIME DESTINATION "${QUORVEL_CUPS_SERVERBIN}/filter"
        PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
                    GROUP_READ GROUP_EXECUTE
                    WORLD_READ WORLD_EXECUTE)

install(FILES "${PROJECT_SOURCE_DIR}/ppd/quorvel.ppd"
        DESTINATION "${QUORVEL_CUPS_DATADIR}/model/quorvel"
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
