# The flags Debian builds its packages with, for every build whose programs may
# go into the packages (cmake/VornPackages.cmake packs this build's binaries):
#
# - hardening, as dpkg-buildflags gives it for hardening=+all: fortified libc
#   functions, a strong stack protector, format strings checked, full RELRO
#   with immediate binding; GCC on Debian makes position-independent
#   executables by itself. Optimisation and debug information stay the build
#   type's.
# - reproducibility: no build path in the binaries, so that two builds of one
#   commit in different folders are byte for byte the same (the package tests
#   build twice and compare). Sources are named from the source folder, "."
#   and generated files from the build folder, "build".
#
# Sanitizer and fuzzing builds leave the hardening out (the sanitizers bring
# their own checks, and fortified functions hide calls from them).

option(VORN_DEBIAN_HARDENING "Build with Debian's hardening flags (dpkg-buildflags)" ON)

# The last map given wins where two match: the build folder may lie inside the
# source folder.
target_compile_options(vorn_options INTERFACE -ffile-prefix-map=${PROJECT_SOURCE_DIR}=.
                       -ffile-prefix-map=${PROJECT_BINARY_DIR}=build)

if(VORN_DEBIAN_HARDENING AND NOT VORN_SANITIZE)
  find_program(VORN_DPKG_BUILDFLAGS dpkg-buildflags)
  if(NOT VORN_DPKG_BUILDFLAGS)
    message(FATAL_ERROR "dpkg-buildflags (Debian's dpkg-dev) is missing: install it (scripts/install-deps) "
                        "or configure with -DVORN_DEBIAN_HARDENING=OFF")
  endif()
  # reproducible=-fixfilepath,-fixdebugpath: the path maps above name both
  # folders, where dpkg-buildflags would name only the current one.
  set(vorn_buildflags_env "DEB_BUILD_MAINT_OPTIONS=hardening=+all reproducible=-fixfilepath,-fixdebugpath"
      "DEB_CXXFLAGS_MAINT_STRIP=-g -O2")
  foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
    execute_process(COMMAND ${CMAKE_COMMAND} -E env ${vorn_buildflags_env} ${VORN_DPKG_BUILDFLAGS} --get ${kind}
                    OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "dpkg-buildflags --get ${kind} failed: ${result}")
    endif()
    separate_arguments(flags UNIX_COMMAND "${flags}")
    set(VORN_DEBIAN_${kind} ${flags})
  endforeach()
  # glibc's fortified functions need an optimising build; without one it only warns.
  target_compile_options(vorn_options INTERFACE ${VORN_DEBIAN_CXXFLAGS}
                         "$<$<NOT:$<CONFIG:Debug>>:${VORN_DEBIAN_CPPFLAGS}>")
  target_link_options(vorn_options INTERFACE ${VORN_DEBIAN_LDFLAGS})
  string(JOIN " " shown ${VORN_DEBIAN_CPPFLAGS} ${VORN_DEBIAN_CXXFLAGS} ${VORN_DEBIAN_LDFLAGS})
  message(STATUS "Debian's hardening flags: ${shown}")
endif()
