# Install-time step: puts the autostart entry into the system-wide XDG autostart folder of
# the prefix being installed to. The folder is worked out here, not at configure time, so
# that `cmake --install --prefix` puts it below the prefix actually used. It follows the
# rules of GNUInstallDirs for the configuration folder: /etc for the prefixes / and /usr,
# /etc/opt/NAME for /opt/NAME, PREFIX/etc otherwise.
#
# In: tellwick_sysconfdir (CMAKE_INSTALL_SYSCONFDIR as configured), tellwick_autostart_entry
# (the .desktop file). DESTDIR staging is handled by file(INSTALL) itself.

if(IS_ABSOLUTE "${tellwick_sysconfdir}")
    set(tellwick_config_dir "${tellwick_sysconfdir}")
elseif(CMAKE_INSTALL_PREFIX MATCHES "^/usr/?$" OR CMAKE_INSTALL_PREFIX STREQUAL "/")
    set(tellwick_config_dir "/${tellwick_sysconfdir}")
elseif(CMAKE_INSTALL_PREFIX MATCHES "^/opt/" AND NOT CMAKE_INSTALL_PREFIX MATCHES "^/opt/homebrew/")
    set(tellwick_config_dir "/${tellwick_sysconfdir}${CMAKE_INSTALL_PREFIX}")
else()
    set(tellwick_config_dir "${CMAKE_INSTALL_PREFIX}/${tellwick_sysconfdir}")
endif()

# Like the rules that install() generates: an absolute destination is reported to CPack and
# refused where the caller asked for that.
set(tellwick_autostart_dir "${tellwick_config_dir}/xdg/autostart")
list(APPEND CMAKE_ABSOLUTE_DESTINATION_FILES "${tellwick_autostart_dir}/tellwick.desktop")
if(CMAKE_ERROR_ON_ABSOLUTE_INSTALL_DESTINATION)
    message(FATAL_ERROR "ABSOLUTE path INSTALL DESTINATION forbidden (by caller): "
                        "${tellwick_autostart_dir}/tellwick.desktop")
endif()
file(INSTALL DESTINATION "${tellwick_autostart_dir}" TYPE FILE FILES "${tellwick_autostart_entry}")
