# Install-time step, run after the program is in place: gives the installed program the
# CAP_NET_BIND_SERVICE file capability, so that a normal user's Tellwick can listen on the
# finger and daytime ports (79 and 13, below 1024). This needs root (or CAP_SETFCAP) and a
# file system with extended attributes. It never fails the installation: when the
# capability cannot be set here, it says which command grants it.
#
# In: tellwick_bindir (CMAKE_INSTALL_BINDIR as configured).

if(IS_ABSOLUTE "${tellwick_bindir}")
    set(tellwick_program "${tellwick_bindir}/tellwick")
else()
    set(tellwick_program "${CMAKE_INSTALL_PREFIX}/${tellwick_bindir}/tellwick")
endif()
set(tellwick_grant_command "setcap cap_net_bind_service=ep ${tellwick_program}")

function(tellwick_tell_grant_command why)
    message(NOTICE
        "Tellwick: ${why}\n"
        "Tellwick: without it, a normal user's Tellwick cannot listen on ports 79 and 13.\n"
        "Tellwick: to grant it, run as root:\n"
        "    ${tellwick_grant_command}")
endfunction()

if(NOT "$ENV{DESTDIR}" STREQUAL "")
    # A staged file is not the one that will run; capabilities do not survive packaging.
    tellwick_tell_grant_command(
        "staged into DESTDIR, so ${tellwick_program} has not been given the capability to bind ports below 1024.")
    return()
endif()

find_program(tellwick_setcap NAMES setcap PATHS /usr/sbin /sbin NO_CACHE)
if(NOT tellwick_setcap)
    tellwick_tell_grant_command(
        "setcap is not installed (Debian package libcap2-bin), so ${tellwick_program} has not been given the capability to bind ports below 1024.")
    return()
endif()

execute_process(COMMAND "${tellwick_setcap}" cap_net_bind_service=ep "${tellwick_program}"
                RESULT_VARIABLE tellwick_setcap_result
                OUTPUT_VARIABLE tellwick_setcap_output
                ERROR_VARIABLE tellwick_setcap_output
                OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_STRIP_TRAILING_WHITESPACE)
if(tellwick_setcap_result EQUAL 0)
    message(STATUS "Granted: cap_net_bind_service=ep on ${tellwick_program} (binds ports 79 and 13)")
else()
    if(tellwick_setcap_output STREQUAL "")
        set(tellwick_setcap_output "exit status ${tellwick_setcap_result}")
    endif()
    tellwick_tell_grant_command(
        "could not give ${tellwick_program} the capability to bind ports below 1024 (${tellwick_setcap_output}).")
endif()
