# nlohmann-json (Debian's header-only nlohmann-json3-dev) as the target nlohmann_json::nlohmann_json.
# Its headers are copied into the build folder and only that folder is added to the include path: the
# Windows cross build must find nlohmann/json.hpp without seeing the rest of the host's /usr/include.
find_path(FWUPDATE_NLOHMANN_JSON_DIR nlohmann/json.hpp
  PATHS /usr/include
  NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT FWUPDATE_NLOHMANN_JSON_DIR)
  message(FATAL_ERROR "nlohmann/json.hpp not found: install nlohmann-json3-dev (scripts/install-deps.sh)")
endif()
set(FWUPDATE_NLOHMANN_JSON_COPY ${CMAKE_BINARY_DIR}/external/nlohmann-json/include)
file(COPY ${FWUPDATE_NLOHMANN_JSON_DIR}/nlohmann DESTINATION ${FWUPDATE_NLOHMANN_JSON_COPY})
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED GLOBAL)
# Imported: a system include folder, so the library's own code is not held to our warning options.
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES ${FWUPDATE_NLOHMANN_JSON_COPY})
