# The product: launcher.exe for 32-bit Windows, GUI subsystem, small, importing only from
# kernel32, advapi32 and msvcrt (user32 is loaded when a box is shown). Also the test engine
# and the end-to-end tests.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

# The product is compiled as one translation unit (CMake's unity build, all sources in one batch)
# and as the whole program: functions that nothing outside calls become local, and the compiler
# can drop, merge and lay out across files what a per-file build must keep. Functions called once
# are not inlined: into the long main sequence they cost more than the call. Together these take
# 850 bytes off the code, and the strings that files share are kept once. Two files may
# therefore not define static helpers of the same name.
set(PRODUCT_FLAGS -Os -D__USE_MINGW_ANSI_STDIO=0 -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
    -fwhole-program -fno-inline-functions-called-once)
# LauncherStartup stands in for the runtime's start-up code (see launcher/win32/startup.cpp).
# --no-seh: the launcher has no SEH handlers, so the loader may refuse any handler an exploit
# plants. --tsaware: no compatibility shims on a terminal server. --no-insert-timestamp: the
# same sources give the same bytes in any build folder, checksum included.
# cmake/launcher.ld lays the file out with the import tables in .rdata (see there).
set(PRODUCT_LINK -mwindows -nostartfiles -Wl,-e,_LauncherStartup -s -static-libgcc
    -static-libstdc++ -Wl,--gc-sections -Wl,--no-seh -Wl,--tsaware -Wl,--no-insert-timestamp
    -Wl,-T,${CMAKE_SOURCE_DIR}/cmake/launcher.ld -Wl,-Map=${CMAKE_BINARY_DIR}/launcher.map)

add_executable(launcher WIN32 ${PRODUCT_SOURCES} ${CMAKE_SOURCE_DIR}/launcher/win32/startup.cpp)
target_compile_options(launcher PRIVATE ${WARNINGS} ${PRODUCT_FLAGS})
target_link_options(launcher PRIVATE ${PRODUCT_LINK})
# libstdc++'s headers switch stdio to MinGW's own printf (10 KB) once any of them is included,
# whatever the command line says; stdio.h read first keeps msvcrt's.
set_target_properties(launcher PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 0
    UNITY_BUILD_CODE_BEFORE_INCLUDE "#include <stdio.h>"
    LINK_DEPENDS ${CMAKE_SOURCE_DIR}/cmake/launcher.ld)
target_link_libraries(launcher PRIVATE kernel32 advapi32)

# Version information and application manifest (launcher/launcher.rc). Compiled as a target of
# its own, because launcher's compile options are the C++ compiler's and windres takes none of
# them. The project's version reaches the resource script as defines, dotted and in parts.
enable_language(RC)
add_library(launcher_resources OBJECT ${CMAKE_SOURCE_DIR}/launcher/launcher.rc)
target_compile_definitions(launcher_resources PRIVATE LAUNCHER_VERSION=${PROJECT_VERSION}
    LAUNCHER_VERSION_MAJOR=${PROJECT_VERSION_MAJOR} LAUNCHER_VERSION_MINOR=${PROJECT_VERSION_MINOR}
    LAUNCHER_VERSION_PATCH=${PROJECT_VERSION_PATCH})
set_source_files_properties(${CMAKE_SOURCE_DIR}/launcher/launcher.rc PROPERTIES
    OBJECT_DEPENDS ${CMAKE_SOURCE_DIR}/launcher/launcher.manifest)
target_link_libraries(launcher PRIVATE launcher_resources)

add_subdirectory(tests/engine)
add_subdirectory(tests/e2e)
