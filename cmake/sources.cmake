# The product's sources, and the product on the Windows API stand-in as one object library
# (standin_product): the stand-in's RunLauncher calls the product's WinMain and the product
# calls the stand-in, so they are one unit rather than two libraries that need each other.
# Included by the root project, fuzz/ and bench/host/, each with its own compile options set
# before. LAUNCHER_ROOT is the repository's root.
file(GLOB PRODUCT_SOURCES CONFIGURE_DEPENDS ${LAUNCHER_ROOT}/launcher/*.cpp
     ${LAUNCHER_ROOT}/installrecord/*.cpp ${LAUNCHER_ROOT}/process/*.cpp
     ${LAUNCHER_ROOT}/platform/*.cpp)

function(add_standin_product)
    file(GLOB hostwin_sources CONFIGURE_DEPENDS ${LAUNCHER_ROOT}/hostwin/src/*.cpp)
    add_library(standin_product OBJECT ${PRODUCT_SOURCES} ${hostwin_sources})
    # The product's own sources reach the stand-in's stdio and stdlib (see hostwin/include).
    set_source_files_properties(${PRODUCT_SOURCES} PROPERTIES COMPILE_DEFINITIONS HOSTWIN_PRODUCT)
    target_include_directories(standin_product PUBLIC ${LAUNCHER_ROOT}/hostwin/include
                                                      ${LAUNCHER_ROOT})
endfunction()
