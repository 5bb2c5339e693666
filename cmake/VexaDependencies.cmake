# Every dependency comes from Debian's packages (scripts/setup-deps).
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)

pkg_check_modules(HIDAPI REQUIRED IMPORTED_TARGET hidapi-hidraw)
pkg_check_modules(UMOCKDEV REQUIRED IMPORTED_TARGET umockdev-1.0)
pkg_check_modules(GLIB REQUIRED IMPORTED_TARGET glib-2.0 gobject-2.0 gio-2.0)
pkg_check_modules(P11KIT REQUIRED IMPORTED_TARGET p11-kit-1)

find_package(nlohmann_json 3.2 REQUIRED)
find_package(nanopb CONFIG REQUIRED)
find_program(NANOPB_GENERATOR nanopb_generator.py REQUIRED)

# mbed TLS 2 ships no CMake or pkg-config files on Debian 12.
find_path(MBEDTLS_INCLUDE_DIR mbedtls/ssl.h REQUIRED)
find_library(MBEDTLS_LIBRARY mbedtls REQUIRED)
find_library(MBEDX509_LIBRARY mbedx509 REQUIRED)
find_library(MBEDCRYPTO_LIBRARY mbedcrypto REQUIRED)
add_library(vexa_mbedtls INTERFACE)
target_include_directories(vexa_mbedtls SYSTEM INTERFACE ${MBEDTLS_INCLUDE_DIR})
target_link_libraries(vexa_mbedtls INTERFACE ${MBEDTLS_LIBRARY} ${MBEDX509_LIBRARY} ${MBEDCRYPTO_LIBRARY})

if(VEXA_BUILD_TESTS)
  find_package(GTest REQUIRED)
  find_package(benchmark QUIET)
  include(GoogleTest)
endif()
