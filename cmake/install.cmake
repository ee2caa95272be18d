# Install rules: the filter goes where the scheduler looks for filters, the
# PPD where cups-driverd looks for models, so `lpinfo -m` lists the driver
# and `lpadmin -m quorvel/quorvel.ppd` makes a queue from it.
#
# The destinations are absolute, taken from cups-config when configuring,
# because CUPS looks in its own directories whatever CMAKE_INSTALL_PREFIX
# says. DESTDIR is still honoured (CMake puts it in front of absolute
# destinations), and packagers whose CUPS lives elsewhere set
# QUORVEL_CUPS_SERVERBIN and QUORVEL_CUPS_DATADIR.
include(${CMAKE_CURRENT_LIST_DIR}/cups_dirs.cmake)

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
