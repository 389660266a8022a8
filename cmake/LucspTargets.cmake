# Sources of the OS layer for the current target.
file(GLOB LUCSP_OS_SOURCES CONFIGURE_DEPENDS
     ${CMAKE_SOURCE_DIR}/src/platform/os/${LUCSP_OS_DIR}/*.cpp)

# A subsystem is every .cpp directly below its folder and its shells/ folder (the OS folders are added
# explicitly).
function(lucsp_subsystem name dir)
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${dir}/*.cpp ${CMAKE_SOURCE_DIR}/${dir}/shells/*.cpp)
  if(NOT srcs)
    set(srcs ${CMAKE_SOURCE_DIR}/cmake/empty.cpp)
  endif()
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/src/platform)
  target_compile_options(${name} PRIVATE ${LUCSP_WARNINGS})
  target_compile_definitions(${name} PUBLIC
    LUCSP_SERVICE_HOST_LABEL="${LUCSP_SERVICE_HOST_LABEL}"
    LUCSP_SERVICE_DOMAIN="${LUCSP_SERVICE_DOMAIN}")
  if(WIN32)
    target_compile_definitions(${name} PUBLIC WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601 __USE_MINGW_ANSI_STDIO=1)
  endif()
endfunction()

# A test executable per subsystem: every .cpp below tests/<dir>.
function(lucsp_test name dir)
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/${dir}/*.cpp)
  if(NOT srcs)
    return()
  endif()
  add_executable(${name} ${srcs})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/tests)
  target_compile_options(${name} PRIVATE ${LUCSP_WARNINGS})
  target_link_libraries(${name} PRIVATE ${ARGN} lucsp_testsupport GTest::gtest GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endfunction()
