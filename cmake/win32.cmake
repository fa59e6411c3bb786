# The product: launcher.exe for 32-bit Windows, GUI subsystem, small, importing only from
# kernel32, advapi32 and msvcrt (user32 is loaded when a box is shown). Also the test engine
# and the end-to-end tests.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

set(PRODUCT_FLAGS -Os -D__USE_MINGW_ANSI_STDIO=0 -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
    -ffunction-sections)
set(PRODUCT_LINK -mwindows -s -static-libgcc -static-libstdc++ -Wl,--gc-sections
    -Wl,-Map=${CMAKE_BINARY_DIR}/launcher.map)

add_executable(launcher WIN32 ${PRODUCT_SOURCES})
target_compile_options(launcher PRIVATE ${WARNINGS} ${PRODUCT_FLAGS})
target_link_options(launcher PRIVATE ${PRODUCT_LINK})
target_link_libraries(launcher PRIVATE kernel32 advapi32)

add_subdirectory(tests/engine)
add_subdirectory(tests/e2e)
