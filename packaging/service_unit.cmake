# Writes the service unit for an install (run from an install script, where
# CMAKE_INSTALL_PREFIX is the install-time prefix): packaging/hub.service
# with ExecStart naming the installed hub and WorkingDirectory (and the mount
# it needs) set to the folder the hub should run in:
#  - HUB_SERVICE_WORKING_DIRECTORY when set;
#  - else the folder of HUB_CONFIG_FILE when that is absolute (the board's
#    /mnt/nand/conf);
#  - else, for a build that reads "hub.conf" where it runs, a folder "hub"
#    under sysconfdir (/etc/hub for the prefix /usr).
# In: HUB_SERVICE_TEMPLATE, HUB_SERVICE_OUTPUT, HUB_SBINDIR, HUB_SYSCONFDIR,
# HUB_CONFIG_FILE, HUB_SERVICE_WORKING_DIRECTORY.

if(IS_ABSOLUTE "${HUB_SBINDIR}")
  set(sbindir "${HUB_SBINDIR}")
else()
  set(sbindir "${CMAKE_INSTALL_PREFIX}/${HUB_SBINDIR}")
endif()

if(HUB_SERVICE_WORKING_DIRECTORY)
  set(workdir "${HUB_SERVICE_WORKING_DIRECTORY}")
elseif(IS_ABSOLUTE "${HUB_CONFIG_FILE}")
  get_filename_component(workdir "${HUB_CONFIG_FILE}" DIRECTORY)
elseif(IS_ABSOLUTE "${HUB_SYSCONFDIR}")
  set(workdir "${HUB_SYSCONFDIR}/hub")
elseif(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(workdir "/etc/hub")  # as GNUInstallDirs places sysconfdir for /usr
else()
  set(workdir "${CMAKE_INSTALL_PREFIX}/${HUB_SYSCONFDIR}/hub")
endif()

file(READ "${HUB_SERVICE_TEMPLATE}" unit)
string(REGEX REPLACE "\nExecStart=[^\n]*" "\nExecStart=${sbindir}/hub" unit "${unit}")
string(REGEX REPLACE "\nWorkingDirectory=[^\n]*" "\nWorkingDirectory=${workdir}" unit "${unit}")
string(REGEX REPLACE "\nRequiresMountsFor=[^\n]*" "\nRequiresMountsFor=${workdir}" unit "${unit}")
file(WRITE "${HUB_SERVICE_OUTPUT}" "${unit}")
