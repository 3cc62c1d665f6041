# The system zpm works on: the inventory's directories, the shell package
# scripts run under, and a first configuration.  What is there already is
# left alone (an existing /etc/zpm.conf is never replaced).
set(root "$ENV{DESTDIR}")
foreach(d installed fileindex stagearea scriptdir certstore repo)
  file(MAKE_DIRECTORY "${root}/var/lib/zpm/${d}")
endforeach()
if(NOT EXISTS "${root}/var/lib/zpm/scriptdir/ash" AND NOT IS_SYMLINK "${root}/var/lib/zpm/scriptdir/ash")
  file(CREATE_LINK "@ZPM_SCRIPT_SHELL@" "${root}/var/lib/zpm/scriptdir/ash" SYMBOLIC)
endif()
if(NOT EXISTS "${root}/etc/zpm.conf")
  file(MAKE_DIRECTORY "${root}/etc")
  file(COPY_FILE "@PROJECT_BINARY_DIR@/data/zpm.conf" "${root}/etc/zpm.conf")
  message(STATUS "Installing: ${root}/etc/zpm.conf")
endif()
