# GoogleTest for a cross build. Debian's libgtest-dev holds libraries for the build machine
# only, so the sources of Debian's googletest package are compiled with the cross compiler.
if(NOT EXISTS ${QUORVEL_GOOGLETEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "No GoogleTest sources in ${QUORVEL_GOOGLETEST_SOURCE}: "
                      "install Debian's googletest package")
endif()
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${QUORVEL_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
foreach(target gtest gtest_main)
  # Third-party code: our warning set is not its business.
  target_compile_options(${target} PRIVATE -w)
  if(NOT TARGET GTest::${target})  # GoogleTest 1.11 and later name them so already
    add_library(GTest::${target} ALIAS ${target})
  endif()
endforeach()
