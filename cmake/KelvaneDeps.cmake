# Third-party libraries, all from the distribution's -dev packages.
find_package(PkgConfig REQUIRED)
pkg_check_modules(ZSTD REQUIRED IMPORTED_TARGET libzstd)
pkg_check_modules(BROTLI REQUIRED IMPORTED_TARGET libbrotlienc libbrotlidec)
find_package(ZLIB REQUIRED)
if(KELVANE_TESTS)
  find_package(GTest REQUIRED)
endif()
find_package(Threads REQUIRED)
