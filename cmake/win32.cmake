# The product: launcher.exe for 32-bit Windows, GUI subsystem, small, importing only from
# kernel32, advapi32 and msvcrt (user32 is loaded when a box is shown). Also the test engine
# and the end-to-end tests.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

# Each source is compiled on its own and laid out by the linker's default script. (As one unit
# and as the whole program, the same sources make 1 KB less, 28,672 bytes against 29,696, which
# the 32 KB budget does not need, at the price of a rule that two files may not define static
# helpers of the same name.) libstdc++'s headers switch stdio to MinGW's own printf (10 KB) once
# any of them is included, whatever the command line says: stdio.h read first keeps msvcrt's.
set(PRODUCT_FLAGS -Os -D__USE_MINGW_ANSI_STDIO=0 -fno-exceptions -fno-rtti
    -fno-asynchronous-unwind-tables -include stdio.h)
# LauncherStartup stands in for the runtime's start-up code (see launcher/win32/startup.cpp).
# --no-seh: the launcher has no SEH handlers, so the loader may refuse any handler an exploit
# plants. --tsaware: no compatibility shims on a terminal server. --no-insert-timestamp: the
# same sources give the same bytes in any build folder, checksum included.
set(PRODUCT_LINK -mwindows -nostartfiles -Wl,-e,_LauncherStartup -s -static-libgcc
    -static-libstdc++ -Wl,--gc-sections -Wl,--no-seh -Wl,--tsaware -Wl,--no-insert-timestamp
    -Wl,-Map=${CMAKE_BINARY_DIR}/launcher.map)

add_executable(launcher WIN32 ${PRODUCT_SOURCES} ${CMAKE_SOURCE_DIR}/launcher/win32/startup.cpp)
target_compile_options(launcher PRIVATE ${WARNINGS} ${PRODUCT_FLAGS})
target_link_options(launcher PRIVATE ${PRODUCT_LINK})
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
