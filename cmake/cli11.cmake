# CLI11 (Debian's libcli11-dev, header-only): the command lines of fwupdate-cli, fwdevsim and mkfwcfg.
# A native build takes its CMake package. The Windows cross build looks only in the mingw root, so it
# copies the CLI/ headers from the build machine into the build tree and adds that folder alone: adding
# /usr/include itself would put the build machine's C library headers before mingw's.
find_package(CLI11 CONFIG QUIET)
if(NOT TARGET CLI11::CLI11)
  find_path(FWUPDATE_CLI11_DIR CLI/CLI.hpp PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  if(NOT FWUPDATE_CLI11_DIR)
    message(FATAL_ERROR "CLI11 not found: install libcli11-dev (scripts/install-deps.sh)")
  endif()
  set(cli11_copy ${CMAKE_BINARY_DIR}/third_party/cli11)
  file(COPY ${FWUPDATE_CLI11_DIR}/CLI DESTINATION ${cli11_copy})
  add_library(CLI11::CLI11 INTERFACE IMPORTED)
  set_target_properties(CLI11::CLI11 PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${cli11_copy})
endif()
