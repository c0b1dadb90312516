# Runs inside the install step (install(CODE) in packaging/CMakeLists.txt). Writes the systemd
# unit with ExecStart in the bin directory under the prefix being installed to, installs it, and
# warns when the unit or the udev rule lands where systemd or udev will not look.
#
# In: CMAKE_INSTALL_PREFIX (the install step's own), VEL_UNIT_TEMPLATE, VEL_UNIT_STAGING,
#     VEL_BINDIR, VEL_SYSTEMD_UNIT_DIR, VEL_UDEV_RULES_DIR (relative to the prefix or absolute).

function(vel_full_dir out dir)
  if(IS_ABSOLUTE "${dir}")
    set(full "${dir}")
  elseif(CMAKE_INSTALL_PREFIX STREQUAL "/")
    set(full "/${dir}")
  else()
    set(full "${CMAKE_INSTALL_PREFIX}/${dir}")
  endif()
  string(REGEX REPLACE "/+" "/" full "${full}")
  string(REGEX REPLACE "(.)/$" "\\1" full "${full}")
  set(${out} "${full}" PARENT_SCOPE)
endfunction()

vel_full_dir(VEL_FULL_BINDIR "${VEL_BINDIR}")
vel_full_dir(_unit_dir "${VEL_SYSTEMD_UNIT_DIR}")
vel_full_dir(_rules_dir "${VEL_UDEV_RULES_DIR}")

# The staging copy is per prefix, so that installs to two prefixes from one build never share it.
string(MAKE_C_IDENTIFIER "${CMAKE_INSTALL_PREFIX}" _tag)
set(_unit "${VEL_UNIT_STAGING}/${_tag}/velusbdisplay.service")
configure_file("${VEL_UNIT_TEMPLATE}" "${_unit}" @ONLY)
file(INSTALL DESTINATION "${_unit_dir}" TYPE FILE FILES "${_unit}")

# Where systemd 252 and udev 252 (Debian 12) look; /lib is /usr/lib on a merged-/usr system.
set(_systemd_dirs /etc/systemd/system /usr/local/lib/systemd/system /usr/lib/systemd/system
    /lib/systemd/system)
set(_udev_dirs /etc/udev/rules.d /usr/local/lib/udev/rules.d /usr/lib/udev/rules.d
    /lib/udev/rules.d)
# list(FIND), not IN_LIST: install scripts run without the project's policy settings.
list(FIND _systemd_dirs "${_unit_dir}" _unit_known)
list(FIND _udev_dirs "${_rules_dir}" _rules_known)
if(_unit_known EQUAL -1)
  message(WARNING "systemd does not read units from ${_unit_dir}: link "
                  "${_unit_dir}/velusbdisplay.service into /etc/systemd/system, or configure "
                  "with -DVEL_SYSTEMD_UNIT_DIR=/etc/systemd/system")
endif()
if(_rules_known EQUAL -1)
  message(WARNING "udev does not read rules from ${_rules_dir}: copy "
                  "60-velusbdisplay.rules to /etc/udev/rules.d, or configure with "
                  "-DVEL_UDEV_RULES_DIR=/etc/udev/rules.d")
endif()
