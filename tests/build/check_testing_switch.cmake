# Configures the library where GoogleTest cannot be found, in the two ways a
# user who does not want its tests takes, and checks that no test is built:
#   BUILD_TESTING=OFF on the library itself;
#   the library added with add_subdirectory by a project of its own.
file(REMOVE_RECURSE ${WORK_DIR})

function(configure_without_tests name source)
  set(build ${WORK_DIR}/${name})
  execute_process(COMMAND ${CMAKE_COMMAND} -S ${source} -B ${build} -G ${GENERATOR}
                          -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DNORVANE_SOURCE=${NORVANE_SOURCE} ${ARGN}
                  RESULT_VARIABLE r OUTPUT_QUIET ERROR_VARIABLE err)
  if(r)
    message(FATAL_ERROR "${name}: configuring without GoogleTest failed: ${err}")
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} --build ${build} --target help OUTPUT_VARIABLE targets RESULT_VARIABLE r)
  if(r)
    message(FATAL_ERROR "${name}: listing the targets failed")
  endif()
  # Every C++ test links the test doubles.
  if(targets MATCHES "norvane_fakes")
    message(FATAL_ERROR "${name}: the tests are part of the build")
  endif()
  if(NOT targets MATCHES "norvane")
    message(FATAL_ERROR "${name}: the library is not part of the build:\n${targets}")
  endif()
  message(STATUS "${name}: the library without its tests")
endfunction()

configure_without_tests(testing_off ${NORVANE_SOURCE} -DBUILD_TESTING=OFF)
configure_without_tests(subproject ${CMAKE_CURRENT_LIST_DIR})
