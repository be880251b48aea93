# cmake -DSOURCE=<source folder> -DPACKAGES=<the packages MakePackages.cmake made> -DSCRATCH=<folder>
#       -DGENERATOR=... -DBUILD_TYPE=... -DCXX=... -DC=... [-DLAUNCHER=...] -DHARDENING=ON|OFF -DCPACK=<cpack>
#       -P RebuildPackages.cmake
# Two package builds of one commit are byte for byte the same. This builds the
# packaged files a second time, from a copy of the source tree in another
# folder, with the first build's compilers, build type and hardening, packs
# them and compares every package with the first build's.
#
# The copy lies as the first build's tree does (a "build" folder inside the
# source tree, as ./test has it), so that a compiler cache that rewrites paths
# relative to the build folder rewrites both builds' paths alike.

file(REMOVE_RECURSE ${SCRATCH})
file(MAKE_DIRECTORY ${SCRATCH}/source)

# The working tree's files, committed or not, without what git ignores (the
# build folders).
execute_process(
  COMMAND sh -c "git -C \"$1\" ls-files -z --cached --others --exclude-standard |
                 (cd \"$1\" && tar --null --ignore-failed-read -T - -cf -) | tar -xf - -C \"$2\""
          sh ${SOURCE} ${SCRATCH}/source
  RESULT_VARIABLE copied)
if(NOT copied EQUAL 0 OR NOT EXISTS ${SCRATCH}/source/CMakeLists.txt)
  message("SKIP: ${SOURCE} is no git checkout; only the first build's packages exist")
  return()
endif()
execute_process(COMMAND git -C ${SOURCE} log -1 --format=%ct OUTPUT_VARIABLE epoch
                OUTPUT_STRIP_TRAILING_WHITESPACE)
set(ENV{SOURCE_DATE_EPOCH} ${epoch})

set(build ${SCRATCH}/source/build)
set(configure ${CMAKE_COMMAND} -S ${SCRATCH}/source -B ${build} -G ${GENERATOR} -DCMAKE_BUILD_TYPE=${BUILD_TYPE}
    -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_C_COMPILER=${C} -DVORN_DEBIAN_HARDENING=${HARDENING}
    -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON)
if(LAUNCHER)
  list(APPEND configure -DCMAKE_CXX_COMPILER_LAUNCHER=${LAUNCHER} -DCMAKE_C_COMPILER_LAUNCHER=${LAUNCHER})
endif()
# One compiler per core: the other tests go on meanwhile.
cmake_host_system_information(RESULT cores QUERY NUMBER_OF_LOGICAL_CORES)
foreach(step "${configure}" "${CMAKE_COMMAND};--build;${build};--target;vorn_packaged;--parallel;${cores}"
             "${CPACK};-G;DEB;--config;${build}/CPackConfig.cmake;-B;${SCRATCH}/packages")
  execute_process(COMMAND ${step} RESULT_VARIABLE result OUTPUT_QUIET)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "the second build failed: ${step}: ${result}")
  endif()
endforeach()

file(GLOB firsts ${PACKAGES}/*.deb)
file(GLOB seconds ${SCRATCH}/packages/*.deb)
list(LENGTH firsts count)
list(LENGTH seconds secondCount)
if(count EQUAL 0 OR NOT count EQUAL secondCount)
  message(FATAL_ERROR "the builds made ${count} and ${secondCount} packages")
endif()
set(differing "")
foreach(first IN LISTS firsts)
  get_filename_component(name ${first} NAME)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${first} ${SCRATCH}/packages/${name}
                  RESULT_VARIABLE same)
  if(same EQUAL 0)
    message("${name}: the same in both builds")
    continue()
  endif()
  # Which files differ, and how the two archives list them.
  foreach(side one two)
    set(package ${first})
    if(side STREQUAL two)
      set(package ${SCRATCH}/packages/${name})
    endif()
    execute_process(COMMAND dpkg-deb -R ${package} ${SCRATCH}/unpacked/${side}/${name})
    execute_process(COMMAND dpkg-deb --contents ${package} OUTPUT_FILE ${SCRATCH}/unpacked/${side}/${name}.list)
  endforeach()
  execute_process(COMMAND diff -r ${SCRATCH}/unpacked/one/${name} ${SCRATCH}/unpacked/two/${name}
                  OUTPUT_VARIABLE files ERROR_VARIABLE files)
  execute_process(COMMAND diff ${SCRATCH}/unpacked/one/${name}.list ${SCRATCH}/unpacked/two/${name}.list
                  OUTPUT_VARIABLE listings)
  string(APPEND differing "${name} differs:\n${files}${listings}\n")
endforeach()
if(differing)
  message(FATAL_ERROR "${differing}")
endif()
