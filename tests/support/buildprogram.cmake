# How tests and benchmarks start the programs of the build (buildprogram.h), a
# library of its own so that the MQTT rig has it without the rest of the test
# support. In a cross build the test programs run under
# CMAKE_CROSSCOMPILING_EMULATOR (cmake/toolchain-*.cmake), and so must the
# programs they start: the C++ side gets the emulator as a compile definition,
# the script tests as VORTANIX_TEST_EMULATOR (emulator.sh). Both are
# blank-separated: a ';' would split the CMake lists they travel in.
set(VORTANIX_TEST_EMULATOR "")
if(CMAKE_CROSSCOMPILING)
  if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
    message(FATAL_ERROR "The tests of a cross build need CMAKE_CROSSCOMPILING_EMULATOR (qemu-user-static: "
      "bash scripts/setup.sh cross); -DBUILD_TESTING=OFF builds without them")
  endif()
  list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " VORTANIX_TEST_EMULATOR)
endif()
if(NOT TARGET vortanix_buildprogram)
  add_library(vortanix_buildprogram STATIC ${CMAKE_CURRENT_LIST_DIR}/buildprogram.cpp ${CMAKE_CURRENT_LIST_DIR}/buildprogram.h)
  target_include_directories(vortanix_buildprogram PUBLIC ${CMAKE_CURRENT_LIST_DIR})
  target_link_libraries(vortanix_buildprogram PUBLIC Qt::Core)
  target_compile_definitions(vortanix_buildprogram PRIVATE VORTANIX_TEST_EMULATOR="${VORTANIX_TEST_EMULATOR}")
endif()
