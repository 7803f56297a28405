# The Debian packages, written by `cpack -G DEB` in a build folder (scripts/package.sh does it):
#   fwupdate         the window, the command-line tool, desktop entry, icon, metainfo, manual pages, completion
#   fwupdate-devsim  the device simulator and the demo firmware writer, with their manual pages
#   fwupdate-ansible the Ansible collection fwupdate.devices (architecture all)
# Dependencies come from dpkg-shlibdeps, and the Qt platform plugins for the window.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME fwupdate)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the fwupdate developers")
set(CPACK_PACKAGE_CONTACT "fwupdate developers <fwupdate-devel@example.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL fwupdate devsim)
if(NOT WIN32 AND ANSIBLE_GALAXY)
  list(APPEND CPACK_COMPONENTS_ALL ansible)
endif()
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
# Debian 12 has a transitional package of the same name, fwupdate 12-7 (to fwupd): without the epoch, apt
# would "upgrade" an installed fwupdate 1.4-1 to it and remove this tool.
set(CPACK_DEBIAN_PACKAGE_EPOCH 1)
# File names as dpkg writes them: NAME_VERSION-RELEASE_ARCH.deb, without the epoch (no colon in file names).
execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE deb_arch OUTPUT_STRIP_TRAILING_WHITESPACE
                ERROR_QUIET)
if(NOT deb_arch)
  set(deb_arch amd64)
endif()
set(CPACK_DEBIAN_FWUPDATE_FILE_NAME fwupdate_${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}_${deb_arch}.deb)
set(CPACK_DEBIAN_DEVSIM_FILE_NAME fwupdate-devsim_${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}_${deb_arch}.deb)
set(CPACK_DEBIAN_ANSIBLE_FILE_NAME fwupdate-ansible_${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}_all.deb)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

set(CPACK_DEBIAN_FWUPDATE_PACKAGE_NAME fwupdate)
set(CPACK_DEBIAN_FWUPDATE_PACKAGE_SECTION electronics)
# The window needs a platform plugin to open on a desktop (xcb, wayland); dpkg-shlibdeps cannot see plugins.
set(CPACK_DEBIAN_FWUPDATE_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_FWUPDATE_DESCRIPTION "firmware-update tool for networked DSP audio processors
fwupdate connects to a DSP audio processor over TCP, shows who the device is
(OEM id, version, serial number, mode and names), checks an enciphered
firmware configuration file against the device and programs the device's
flash page by page.

The package holds the window (fwupdate) and the command-line tool
(fwupdate-cli) for scripts and production lines, which updates several
devices in parallel and reports JSON Lines on request.")

set(CPACK_DEBIAN_DEVSIM_PACKAGE_NAME fwupdate-devsim)
set(CPACK_DEBIAN_DEVSIM_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_DEVSIM_DESCRIPTION "device simulator and demo firmware for fwupdate
fwdevsim plays one networked DSP audio processor on a loopback address:
it answers the identification reads, takes a firmware update into its
simulated flash, reports each session as a JSON line and can be told to
misbehave (drop the link, reply with errors, stay silent, answer slowly).

mkfwcfg writes enciphered firmware configuration files and demo images
for trying fwupdate without a device.")

set(CPACK_DEBIAN_ANSIBLE_PACKAGE_NAME fwupdate-ansible)
set(CPACK_DEBIAN_ANSIBLE_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_ANSIBLE_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_ANSIBLE_PACKAGE_DEPENDS "ansible-core (>= 2.14) | ansible (>= 7)")
set(CPACK_DEBIAN_ANSIBLE_DESCRIPTION "Ansible collection to update fwupdate's devices at many venues
The collection fwupdate.devices runs fwupdate-cli on the computer of each
venue and reports every device back: the modules device_info (identify the
devices of a list or a range) and device_update (update them, idempotent by
a state report and the configuration's fingerprint, check mode as a dry
run, a tolerated number of failed devices), the filter update_result for
venue computers running Windows, and an example playbook that updates the
venues in waves and stops at a failing one.
.
It installs into /usr/share/ansible/collections, where ansible-core finds
it; fwupdate-cli itself is needed on the venue computers, not here.")

include(CPack)
