# cmake -DCPACK=<cpack> -DCONFIG=<CPackConfig.cmake> -DPACKAGES=<folder> -P MakePackages.cmake
# Builds the Debian packages afresh into PACKAGES for the package tests, so no
# package of an earlier version is left beside them.
file(REMOVE_RECURSE ${PACKAGES})
execute_process(COMMAND ${CPACK} -G DEB --config ${CONFIG} -B ${PACKAGES} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cpack failed: ${result}")
endif()
