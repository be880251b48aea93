# Shared compile settings and helpers for every Vorn target.

add_library(vorn_options INTERFACE)
target_compile_options(vorn_options INTERFACE -Wall -Wextra -Wpedantic
    -Wno-missing-field-initializers)
if(VORN_WERROR)
  target_compile_options(vorn_options INTERFACE -Werror)
endif()
if(VORN_SANITIZE)
  string(REPLACE ";" "," vorn_san "${VORN_SANITIZE}")
  target_compile_options(vorn_options INTERFACE -fsanitize=${vorn_san}
      -fno-omit-frame-pointer -fno-sanitize-recover=all)
  target_link_options(vorn_options INTERFACE -fsanitize=${vorn_san})
endif()
target_include_directories(vorn_options INTERFACE ${PROJECT_SOURCE_DIR}/src
    ${PROJECT_SOURCE_DIR})

# vorn_library(<target> SOURCES ... LINKS ...): one static library per subsystem.
function(vorn_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LINKS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_link_libraries(${name} PUBLIC vorn_options ${ARG_LINKS})
endfunction()

# vorn_module(<target> <file> SOURCES ... LINKS ...): a shared module that a
# program opens on first use (platform/LoadableModule), built into the folder
# every program of this build tree looks in, and installed in VORN_MODULE_DIR
# with the client's package. Its code links nothing of ours (the
# program's copies of our libraries would not be the module's): it talks to the
# program through an interface and one exported entry.
function(vorn_module name file)
  cmake_parse_arguments(ARG "" "" "SOURCES;LINKS" ${ARGN})
  add_library(${name} MODULE ${ARG_SOURCES})
  string(REGEX REPLACE "^lib(.*)\\.so$" "\\1" output ${file})
  set_target_properties(${name} PROPERTIES OUTPUT_NAME ${output} LIBRARY_OUTPUT_DIRECTORY ${VORN_MODULE_BUILD_DIR}
                        CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON SKIP_BUILD_RPATH ON)
  target_link_libraries(${name} PRIVATE vorn_options ${ARG_LINKS})
  install(TARGETS ${name} LIBRARY DESTINATION ${VORN_MODULE_DIR} COMPONENT vorn)
endfunction()

# vorn_test(<target> LABEL <unit|integration|ui|e2e> SOURCES ... LINKS ...
#           [TIMEOUT seconds] [ENVIRONMENT var=value ...] [PROPERTIES name value ...])
# Every GoogleTest case becomes its own CTest test, run in its own process.
# PROPERTIES go to every such test (e.g. RESOURCE_LOCK for a shared port).
function(vorn_test name)
  cmake_parse_arguments(ARG "" "LABEL;TIMEOUT" "SOURCES;LINKS;ENVIRONMENT;PROPERTIES" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE vorn_options ${ARG_LINKS} GTest::gtest
      GTest::gtest_main GTest::gmock Threads::Threads)
  set(properties LABELS "${ARG_LABEL}" TIMEOUT ${ARG_TIMEOUT})
  if(ARG_ENVIRONMENT)  # an empty value would take the next name as its own
    list(APPEND properties ENVIRONMENT "${ARG_ENVIRONMENT}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
      PROPERTIES ${properties} ${ARG_PROPERTIES})
endfunction()
