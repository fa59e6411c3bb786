# The host build: the product's sources against the Windows API stand-in, and the tests, all
# under AddressSanitizer and UndefinedBehaviorSanitizer.
find_package(GTest REQUIRED)
include(GoogleTest)

set(SANITIZERS -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
add_compile_options(${WARNINGS} ${SANITIZERS} -g)
add_link_options(${SANITIZERS})

add_standin_product()

file(GLOB HOST_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/host/*.cpp)
add_executable(host_tests ${HOST_TEST_SOURCES})
target_link_libraries(host_tests PRIVATE standin_product GTest::gtest GTest::gtest_main)
gtest_discover_tests(host_tests DISCOVERY_TIMEOUT 60)

# The sweeps that kill the launcher at every step or fail every call: minutes, not seconds, so
# they are a test preset of their own (host-sweep), apart from the quick host tests.
file(GLOB HOST_SWEEP_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/host/sweep/*.cpp)
add_executable(host_sweeps ${HOST_SWEEP_SOURCES})
target_include_directories(host_sweeps PRIVATE ${CMAKE_SOURCE_DIR}/tests/host)
target_link_libraries(host_sweeps PRIVATE standin_product GTest::gtest GTest::gtest_main)
gtest_discover_tests(host_sweeps DISCOVERY_TIMEOUT 60 PROPERTIES LABELS sweep)
