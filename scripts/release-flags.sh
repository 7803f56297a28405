# Sourced by scripts/package.sh and scripts/test.sh: the CMake options of the packaged build's compiler flags.
# Debian's build flags: -O2 (in place of Release's -O3, as Debian builds) and its hardening (stack protector,
# fortified functions, read-only relocations, immediate binding). The test command builds its normal build with
# the same flags, so that the compiler cache gives the package build every object it shares with that build.
deb_build_flags() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }
release_flags=(
  -DCMAKE_BUILD_TYPE=Release
  "-DCMAKE_CXX_FLAGS=$(deb_build_flags CPPFLAGS) $(deb_build_flags CXXFLAGS)"
  "-DCMAKE_CXX_FLAGS_RELEASE=-DNDEBUG"
  "-DCMAKE_EXE_LINKER_FLAGS=$(deb_build_flags LDFLAGS)"
)
# With debugging information, ccache would also hash the build folder, which differs between the two builds.
export CCACHE_NOHASHDIR=1
