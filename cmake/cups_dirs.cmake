# Where CUPS keeps filters (ServerBin) and models (DataDir), from
# cups-config, with cache variables for packagers whose CUPS lives
# elsewhere. Used by the install rules and by the tests that install into a
# private tree.
include_guard(GLOBAL)

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

# The directories of the CUPS on this machine, whatever the install goes to.
quorvel_cups_dir(--serverbin /usr/lib/cups QUORVEL_SYSTEM_CUPS_SERVERBIN)
quorvel_cups_dir(--datadir /usr/share/cups QUORVEL_SYSTEM_CUPS_DATADIR)

set(QUORVEL_CUPS_SERVERBIN "${QUORVEL_SYSTEM_CUPS_SERVERBIN}" CACHE PATH
    "CUPS ServerBin directory; the filter is installed in its filter/ folder")
set(QUORVEL_CUPS_DATADIR "${QUORVEL_SYSTEM_CUPS_DATADIR}" CACHE PATH
    "CUPS DataDir directory; the PPD is installed in its model/ folder")
