# portvale_layer(<target> <folder> [<linked layers>...])
# Collects the folder's sources (not its subfolders, which are layers of their own)
# into a static library. An empty folder yields an interface library, so a layer can
# exist before its first source file does.
function(portvale_layer target folder)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${folder}/*.cpp)
  if(sources)
    add_library(${target} STATIC ${sources})
    target_include_directories(${target} PUBLIC ${CMAKE_SOURCE_DIR})
    target_link_libraries(${target} PUBLIC ${ARGN} Threads::Threads)
  else()
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${CMAKE_SOURCE_DIR})
    target_link_libraries(${target} INTERFACE ${ARGN} Threads::Threads)
  endif()
endfunction()

# portvale_test(<target> <folder> [<linked layers>...])
# One GoogleTest executable per test folder, each test registered with CTest and
# labelled with its executable's name (ctest -L test_comport).
function(portvale_test target folder)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${folder}/*.cpp)
  if(NOT sources)
    return()
  endif()
  add_executable(${target} ${sources} ${CMAKE_CURRENT_SOURCE_DIR}/support/TestMain.cpp)
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(${target} PRIVATE ${ARGN} GTest::gtest GTest::gmock)
  gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60
                       PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen" LABELS ${target})
endfunction()
